#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kavrel::testing {

TempDir::TempDir() {
  // Short paths: socket paths inside must stay under the 107-byte limit of Unix addresses.
  std::string tmpl = "/tmp/kv.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace kavrel::testing

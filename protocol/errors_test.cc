#include "protocol/errors.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace kavrel {
namespace {

struct ErrorCase {
  std::string text, error_class, retryable, user_text;
};

// The cases shared with the Python client's tests: text, class, retryable, user text.
std::vector<ErrorCase> read_cases() {
  std::istringstream in(testing::read_file(KAVREL_ERROR_CASES));
  std::vector<ErrorCase> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.starts_with('#')) continue;
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    EXPECT_EQ(fields.size(), 4U) << line;
    if (fields.size() == 4) cases.push_back({fields[0], fields[1], fields[2], fields[3]});
  }
  return cases;
}

std::string class_name(ErrorClass c) {
  switch (c) {
    case ErrorClass::Other: return "Other";
    case ErrorClass::WriteConflict: return "WriteConflict";
    case ErrorClass::SerializationFailure: return "SerializationFailure";
    case ErrorClass::TransactionAborted: return "TransactionAborted";
    case ErrorClass::TransactionNotFound: return "TransactionNotFound";
    case ErrorClass::TableNotFound: return "TableNotFound";
    case ErrorClass::AuthenticationRequired: return "AuthenticationRequired";
    case ErrorClass::AuthenticationFailed: return "AuthenticationFailed";
    case ErrorClass::PermissionDenied: return "PermissionDenied";
  }
  return "?";
}

TEST(ErrorsTest, SharedCasesClassifyAsListed) {
  const auto cases = read_cases();
  ASSERT_GE(cases.size(), 10U);  // the file was found and read
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(class_name(classify_error(c.text)), c.error_class);
    EXPECT_EQ(is_retryable(c.text) ? "yes" : "no", c.retryable);
    EXPECT_EQ(text_for_user(c.text), c.user_text);
  }
}

// A row that no case reaches is untested in both clients.
TEST(ErrorsTest, EveryRowHasACase) {
  const auto cases = read_cases();
  for (const ErrorText& row : kErrorTexts) {
    SCOPED_TRACE(row.prefix);
    bool found = false;
    for (const ErrorCase& c : cases) {
      found =
          found || (c.text.starts_with(row.prefix) && c.error_class == class_name(row.error_class));
    }
    EXPECT_TRUE(found);
  }
}

TEST(ErrorsTest, EndedTransactionIsTheHandleNamed) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> handle;
  };
  const Case cases[] = {
      {"Transaction 7 aborted: Internal error: Write-write conflict detected; retry from "
       "BEGIN_TXN",
       7},
      {"Transaction not found: 987654321", 987654321},
      {"Transaction not found: 18446744073709551615", UINT64_MAX},
      // A conflict or a refused commit names no handle; the commit's own request did.
      {"Internal error: Write-write conflict detected", std::nullopt},
      {"Validation error: transaction aborted: SSI validation failed", std::nullopt},
      {"Table not found: t", std::nullopt},
      {"Transaction x aborted: cause", std::nullopt},
      {"Transaction not found: ", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ended_transaction(c.text), c.handle);
  }
}

TEST(ErrorsTest, AbortCauseIsTheErrorBetweenTheWords) {
  EXPECT_EQ(abort_cause("Transaction 3 aborted: IO error: x; retry from BEGIN_TXN"), "IO error: x");
  EXPECT_EQ(abort_cause("Transaction 3 aborted: IO error: x"), "IO error: x");
  EXPECT_EQ(abort_cause("Table not found: t"), "");
}

// The table is usable where a constant is needed.
static_assert(classify_error("Table not found: t") == ErrorClass::TableNotFound);
static_assert(is_retryable("Transaction 1 aborted: Internal error: Write-write conflict detected"));
static_assert(!is_retryable("Transaction not found: 1"));

}  // namespace
}  // namespace kavrel

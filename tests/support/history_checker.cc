#include "tests/support/history_checker.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>
#include <utility>

namespace kavrel::testing {
namespace {

// Node 0 is the initial state (every key absent); transaction i is node i + 1.
using Graph = std::vector<std::set<std::size_t>>;

// The writers of each key in commit order, as node numbers, the initial state first.
std::map<std::string, std::vector<std::size_t>> version_orders(
    const std::vector<CommittedTxn>& history) {
  std::vector<std::size_t> by_ts(history.size());
  for (std::size_t i = 0; i < by_ts.size(); ++i) by_ts[i] = i;
  std::sort(by_ts.begin(), by_ts.end(), [&](std::size_t a, std::size_t b) {
    return history[a].commit_ts < history[b].commit_ts;
  });
  std::map<std::string, std::vector<std::size_t>> order;
  for (std::size_t i : by_ts) {
    for (const auto& [key, value] : history[i].writes) {
      auto& writers = order[key];
      if (writers.empty()) writers.push_back(0);
      writers.push_back(i + 1);
    }
  }
  return order;
}

std::string cycle_text(const std::vector<CommittedTxn>& history,
                       const std::vector<std::size_t>& path) {
  std::string text = "cycle:";
  for (std::size_t node : path)
    text += " " + (node == 0 ? std::string("init") : history[node - 1].name);
  return text;
}

}  // namespace

std::string find_anomaly(const std::vector<CommittedTxn>& history) {
  const auto order = version_orders(history);
  // Which node wrote each (key, value).
  std::map<std::pair<std::string, std::string>, std::size_t> writer_of;
  for (std::size_t i = 0; i < history.size(); ++i) {
    for (const auto& [key, value] : history[i].writes) writer_of[{key, value}] = i + 1;
  }
  Graph g(history.size() + 1);
  for (const auto& [key, writers] : order) {
    for (std::size_t j = 1; j < writers.size(); ++j) g[writers[j - 1]].insert(writers[j]);  // ww
  }
  for (std::size_t i = 0; i < history.size(); ++i) {
    const std::size_t reader = i + 1;
    for (const auto& [key, value] : history[i].reads) {
      std::size_t source = 0;  // an absent value is the initial state (no deletes are recorded)
      if (value) {
        auto it = writer_of.find({key, *value});
        if (it == writer_of.end()) {
          return history[i].name + " read " + key + "=" + *value +
                 ", which no committed write wrote";
        }
        source = it->second;
      }
      if (source != reader) g[source].insert(reader);  // wr
      auto w = order.find(key);
      if (w == order.end()) continue;
      auto pos = std::find(w->second.begin(), w->second.end(), source);
      if (pos == w->second.end()) continue;
      const auto next = std::next(pos);
      if (next == w->second.end()) continue;
      if (*next != reader) g[reader].insert(*next);  // rw: the write that replaced what it read
    }
  }
  // Depth-first search for a back edge.
  std::vector<int> state(g.size(), 0);  // 0 new, 1 on the path, 2 done
  std::vector<std::size_t> path;
  std::string found;
  std::function<bool(std::size_t)> visit = [&](std::size_t n) {
    state[n] = 1;
    path.push_back(n);
    for (std::size_t m : g[n]) {
      if (state[m] == 1) {
        auto from = std::find(path.begin(), path.end(), m);
        std::vector<std::size_t> cycle(from, path.end());
        cycle.push_back(m);
        found = cycle_text(history, cycle);
        return true;
      }
      if (state[m] == 0 && visit(m)) return true;
    }
    path.pop_back();
    state[n] = 2;
    return false;
  };
  for (std::size_t n = 0; n < g.size(); ++n) {
    if (state[n] == 0 && visit(n)) return found;
  }
  return {};
}

}  // namespace kavrel::testing

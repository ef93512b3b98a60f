// What a fuzz run found wrong: each broken rule is collected, then printed together before the run aborts, so
// one input shows every rule it breaks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qx::fuzz {

class BrokenRules {
  public:
    void Expect(bool holds, const std::string& what) {
        if (!holds) {
            rules_.push_back(what);
        }
    }
    void Add(const std::vector<std::string>& more) { rules_.insert(rules_.end(), more.begin(), more.end()); }
    // Prints every broken rule and aborts when there is one.
    void AbortIfAny() const {
        for (const auto& rule : rules_) {
            std::fprintf(stderr, "rule broken: %s\n", rule.c_str());
        }
        if (!rules_.empty()) {
            std::abort();
        }
    }

  private:
    std::vector<std::string> rules_;
};

}  // namespace qx::fuzz

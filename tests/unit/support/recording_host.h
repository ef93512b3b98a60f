// A mode-switch host that answers the confirmation as told and records every status text and result box.
#pragma once

#include <string>
#include <vector>

#include "app/mode_switch.h"

namespace qx::test {

struct ResultBox {
    std::string text;
    std::string caption;
    ResultIcon icon;
};

class RecordingHost : public ModeSwitchHost {
  public:
    bool answerOk = true;
    std::vector<std::string> prompts;
    std::vector<std::string> statuses;
    std::vector<ResultBox> results;

    void SetStatusText(const std::string& text) override { statuses.push_back(text); }
    bool Confirm(const std::string& text) override {
        prompts.push_back(text);
        return answerOk;
    }
    void ShowResult(const std::string& text, const std::string& caption, ResultIcon icon) override {
        results.push_back({text, caption, icon});
    }
};

}  // namespace qx::test

#pragma once

#include <deque>
#include <utility>
#include <vector>

#include "App/DesktopServices.hpp"

namespace osterveil::testsupport {

// A desktop that answers as the test tells it: it keeps every panel and alert shown and every file
// revealed; the test confirms the last panel (or leaves it, as a cancel would) and queues the alerts'
// answers.
class FakeDesktop : public DesktopServices {
  public:
    void open(const OpenPanel& panel, Chosen chosen) override {
        panels.push_back(panel);
        pending_ = std::move(chosen);
    }
    int runModal(const ModalAlert& alert) override {
        alerts.push_back(alert);
        if (answers.empty()) return -1;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void reveal(const std::filesystem::path& file) override { revealed.push_back(file); }

    // Confirms the last panel with these paths.
    void choose(std::vector<std::filesystem::path> paths) {
        if (auto chosen = std::exchange(pending_, {})) chosen(std::move(paths));
    }

    std::vector<OpenPanel> panels;
    std::vector<ModalAlert> alerts;
    // Button indexes for the next alerts, in order; -1 (closed) when none is left.
    std::deque<int> answers;
    std::vector<std::filesystem::path> revealed;

  private:
    Chosen pending_;
};

} // namespace osterveil::testsupport

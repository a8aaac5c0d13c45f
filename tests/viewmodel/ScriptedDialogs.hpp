#pragma once

// Panels answered by the test: each open or save panel takes the next
// scripted answer (none: the user cancelled) and is recorded with what it
// asked.

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "viewmodel/DialogService.hpp"

namespace tessaron::testing {

class ScriptedDialogs : public viewmodel::DialogService {
public:
    using Answer = std::function<std::optional<std::filesystem::path>()>;

    void answer(std::optional<std::filesystem::path> path) {
        answers_.push_back([path] { return path; });
    }
    // An answer given while the panel is open, as when something else
    // happens meanwhile.
    void answerWith(Answer answer) { answers_.push_back(std::move(answer)); }

    std::optional<std::filesystem::path> open(const OpenRequest& request) override {
        opened.push_back(request);
        return next();
    }
    std::optional<std::filesystem::path> save(const SaveRequest& request) override {
        saved.push_back(request);
        return next();
    }
    bool confirm(const QString&, const QString&, const QString&) override { return true; }
    void message(const QString& title, const QString& text) override { messages.push_back(title + ": " + text); }

    std::vector<OpenRequest> opened;
    std::vector<SaveRequest> saved;
    std::vector<QString> messages;

private:
    std::optional<std::filesystem::path> next() {
        if (answers_.empty()) throw std::logic_error("a panel opened that the test did not expect");
        Answer answer = std::move(answers_.front());
        answers_.pop_front();
        return answer();
    }
    std::deque<Answer> answers_;
};

}  // namespace tessaron::testing

#pragma once

// Answers the desktop's modal boxes and dialogs in UI tests, without a display: every box is
// recorded, questions and input boxes take the next scripted answer (OK / the text), and a
// modal dialog is handed to onExec, which fills it in and says Accepted or Rejected.

#include <QDialog>
#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/operator_dialogs.h"

namespace kormlink::test {

class ScriptedDialogs final : public OperatorDialogs {
public:
    ScriptedDialogs() { setOperatorDialogs(this); }
    ~ScriptedDialogs() override { setOperatorDialogs(nullptr); }

    // "caption: text" of every message box and question, in order.
    std::vector<std::string> shown;
    std::deque<bool> answers;                     // questions; none left: Cancel
    std::deque<std::optional<QString>> inputs;    // input boxes; none left: cancelled
    std::deque<QString> files;                    // file dialogs; none left: cancelled
    // Modal dialogs; unset: Rejected.
    std::function<int(QDialog&)> onExec;
    // Runs while a question is open, as the window system would run other events.
    std::function<void()> onQuestion;

    void message(QWidget*, const QString& caption, const QString& text, Icon) override {
        note(caption, text);
    }
    void notify(QWidget*, const QString& caption, const QString& text, Icon,
                std::function<void()> closed) override {
        note(caption, text);
        if (closed) closed();
    }
    bool question(QWidget*, const QString& caption, const QString& text, Buttons, Icon,
                  bool) override {
        note(caption, text);
        if (onQuestion) onQuestion();
        return take(answers, false);
    }
    std::optional<QString> inputText(QWidget*, const QString& title, const QString& prompt,
                                     const QString&) override {
        note(title, prompt);
        return take(inputs, std::optional<QString>());
    }
    QString openFileName(QWidget*, const QString&, const QString&) override {
        return take(files, QString());
    }
    QString saveFileName(QWidget*, const QString&, const QString&) override {
        return take(files, QString());
    }
    int exec(QDialog& dialog) override {
        return onExec ? onExec(dialog) : int(QDialog::Rejected);
    }

private:
    void note(const QString& caption, const QString& text) {
        shown.push_back((caption + ": " + text).toStdString());
    }
    template <class T>
    static T take(std::deque<T>& queue, T none) {
        if (queue.empty()) return none;
        none = queue.front();
        queue.pop_front();
        return none;
    }
};

}  // namespace kormlink::test

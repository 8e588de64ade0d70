#pragma once

// The handheld questions answered by the test (no widgets): each question is recorded with what
// it offered, and an optional action runs while it is "up".

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

#include "HandheldPrompts.h"

class FakeHandheldPrompts : public HandheldPrompts {
public:
    struct Asked {
        enum class Kind { Choose, Password } kind;
        QWidget* owner;
        QStringList names;  // Choose: the names offered
        QString handheld;   // Password: the handheld named
        bool afterWrongOne = false;
    };
    // The answers to each kind of question in order; none, or an exhausted list, is a cancel.
    std::vector<std::optional<QString>> choices;
    std::vector<std::optional<QString>> passwords;
    std::vector<Asked> asked;
    std::function<void()> whileShown;

    std::optional<QString> ChooseHandheld(QWidget* owner, const QStringList& names) override {
        asked.push_back({Asked::Kind::Choose, owner, names, QString(), false});
        return Answer(choices, nChoices_);
    }
    std::optional<QString> AskPassword(QWidget* owner, const QString& handheld,
                                       bool afterWrongOne) override {
        asked.push_back({Asked::Kind::Password, owner, {}, handheld, afterWrongOne});
        return Answer(passwords, nPasswords_);
    }

private:
    std::optional<QString> Answer(const std::vector<std::optional<QString>>& answers,
                                  std::size_t& nNext) {
        if (whileShown) {
            whileShown();
        }
        return nNext < answers.size() ? answers[nNext++] : std::nullopt;
    }
    std::size_t nChoices_ = 0;
    std::size_t nPasswords_ = 0;
};

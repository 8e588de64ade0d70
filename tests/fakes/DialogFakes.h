#pragma once

// Message boxes, file dialogs and the handheld questions answered by the test: each call is
// recorded, and an optional action runs while the "modal" box or dialog is up.

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

#include "FakeHandheldPrompts.h"
#include "MessageBoxes.h"
#include "modFileOpen.h"

class FakeMessageBoxes : public MessageBoxes {
public:
    struct Shown {
        QString text;
        MessageIcon icon;
        QWidget* owner;
    };
    std::vector<Shown> shown;
    std::function<void()> whileShown;

    void Show(QWidget* owner, const QString& sText, MessageIcon icon) override {
        shown.push_back({sText, icon, owner});
        if (whileShown) {
            whileShown();
        }
    }

    // The questions asked, and the answer each gets (No unless set).
    std::vector<QString> asked;
    bool answer = false;
    bool Ask(QWidget*, const QString& sQuestion) override {
        asked.push_back(sQuestion);
        return answer;
    }
};

class FakeFileDialog : public modFileOpen::FileDialog {
public:
    struct Call {
        QWidget* owner;
        QString filter;
    };
    // The answers in order; an exhausted list answers as a cancel (empty).
    std::vector<QString> answers;
    std::vector<Call> calls;

    QString GetOpenFileName(QWidget* owner, const QString& sFilter) override {
        calls.push_back({owner, sFilter});
        if (calls.size() > answers.size()) {
            return QString();
        }
        return answers[calls.size() - 1];
    }
};

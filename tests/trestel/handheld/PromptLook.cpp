// Shows one of the handheld questions as the installer asks it, for screenshots and keyboard
// runs in a real X session, and prints the answer.
//
//   handheld-prompt-look choose NAME...           the chooser with these names
//   handheld-prompt-look password NAME [wrong]    the password question (after a wrong one)

#include <QApplication>
#include <cstdio>

#include "HandheldPrompts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments().mid(1);
    std::optional<QString> answer;
    if (args.size() >= 2 && args[0] == "choose") {
        answer = realHandheldPrompts().ChooseHandheld(nullptr, args.mid(1));
    } else if (args.size() >= 2 && args[0] == "password") {
        answer = realHandheldPrompts().AskPassword(nullptr, args[1],
                                                   args.size() > 2 && args[2] == "wrong");
    } else {
        std::fputs("usage: handheld-prompt-look choose NAME... | password NAME [wrong]\n", stderr);
        return 2;
    }
    std::printf("%s\n", answer ? qPrintable("answer: " + *answer) : "cancelled");
    return 0;
}

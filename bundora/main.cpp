// Bundora, the bundle launcher: takes no arguments and shows no window of its own.

#include "Form1.h"

int main() { return bundora::runLauncher(); }

#include <clocale>

#include "tool/voriridod.h"

int main(int argc, char** argv) {
    // The console's character set comes from the user's locale.
    std::setlocale(LC_CTYPE, "");
    return voriridodMain(argc, argv);
}

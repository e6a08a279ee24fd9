// Program entry: everything the start does is in ui/application, where the tests reach it.

#include "ui/application.h"

int main(int argc, char** argv) {
    return tambrel::ui::runProgram(argc, argv);
}

#include "OrvaneBarMain.h"

int main(int argc, char** argv) {
    return OrvaneBarMain::main(argc, argv);
}

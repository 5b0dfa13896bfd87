// OrvtoolMain: the process entry of orvtool.
#include "Cli.h"

int main(int argc, char* argv[]) {
    return orvtool::run(argc, argv);
}

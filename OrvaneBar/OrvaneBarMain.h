// The program entry: single-instance guard, the fan controller, the status item, then
// the event loop.
#pragma once

struct OrvaneBarMain {
    // Options (for unattended runs; a person starts the program without any):
    //   --print-alerts    write alerts to standard error instead of showing a dialog
    //   --screenshot DIR  save DIR/tray-icon.png and DIR/menu.png after the first
    //                     refresh and exit 0; takes no lock and puts nothing in the tray
    // Exit status 1 when another copy runs, the SMC cannot be opened or an option is unknown.
    static int main(int argc, char** argv);
};

// The Wine tier's WoW64 probe: prints the process line and exits 0. It
// imports nothing but kernel32 and the C runtime, so it starts wherever Wine
// can run code of its architecture at all, whatever Direct3D there is.
#include "../common/process_report.h"

int main() {
    print_process_report();
    return 0;
}

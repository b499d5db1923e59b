// dem_varnel: the entry point. Without arguments the four phases run once, in this
// order; a failure in any of them ends the run with its message and status 1. The
// arguments --help and --version print instead, and any other is refused.
#include "command_line.h"
#include "dem_files.h"
#include "dem_varnel.h"
#include "regrid.h"
#include "run_guard.h"

int main(int argc, char** argv) {
    int status = 0;
    if (!dialogue_wanted(argc, argv, status)) return status;
    return run_guarded([] {
        opening();
        parameters();
        treatment(input_lines(), output_lines());
        save();
    });
}

// dem_varnel: the entry point. Without arguments the four phases of the dialogue run
// once, in this order, on the run's files; a failure in any of them ends the run with its
// message and status 1, and the files' objects remove what the run created. The
// arguments --help and --version print instead, and any others are the command line's
// for GIS users.
#include "dem_varnel/command_line.h"
#include "dem_varnel/dialogue.h"
#include "dem_varnel/gis_run.h"
#include "dem_varnel/phases.h"
#include "dem_varnel/run_guard.h"

int main(int argc, char** argv) {
    int status = 0;
    const Door door = choose_door(argc, argv, status);
    if (door == Door::printed) return status;
    if (door == Door::options) return run_command_line(argc - 1, argv + 1);
    return run_guarded([] {
        RunFiles files;
        opening(files);
        parameters(files);
        treatment(files);
        save(files);
    });
}

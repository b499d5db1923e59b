// dem_varnel: the entry point. The four phases run once, in this order; a failure in
// any of them ends the run with its message and status 1.
#include "dem_files.h"
#include "dem_varnel.h"
#include "failure.h"
#include "regrid.h"

int main() {
    return run_guarded([] {
        opening();
        parameters();
        treatment();
        save();
    });
}

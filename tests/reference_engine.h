// A literal, unoptimised transcription of the engine's arithmetic, cell by cell over
// whole grids, that the optimised engine must match bit for bit.
#pragma once

namespace reference {

// Regrids the padded input onto the padded output (all 0.0 on entry), then fills,
// smooths twice and clamps the interior to [lowest, highest].
void transf(double** tabin, double** tabout, int NBlig_in, int NBcol_in, int NBlig_out,
            int NBcol_out, double lowest, double highest);

}  // namespace reference

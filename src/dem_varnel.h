// The run's dialogue phases: opening and parameters.
#pragma once

// Banner, input folder, name and format, reading of the input, output name, format
// and files.
void opening();

// The input and output pixel sizes and their ratio.
void parameters();

// The coordinate system beside a grid: a .prj file of the same stem (the grid's name
// without its extension), whose text GIS tools read as the grid's CRS. It is copied as
// it stands.
#pragma once

#include <optional>
#include <string>

// The .prj name of a data file's logical name: its extension replaced by ".prj".
std::string crs_name_of(const std::string& data_logical);

// The text of the .prj beside `data_logical`, or nothing when there is none; a .prj
// that cannot be read, or is larger than a coordinate system's text can be (1 MiB), is
// passed over with a warning.
std::optional<std::string> read_crs_beside(const std::string& data_logical);

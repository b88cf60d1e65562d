// Where an installed yurn finds its show: the data folder taken when the
// command line names none and the current folder has no datos/.  main asks
// once at start-up; the install layout (cmake/install.cmake) puts the data
// where this looks.
#pragma once

#include <cstddef>
#include <string>

// The installed data folder: the executable's folder joined with the path
// from the install's bin folder to its share/yurn (../share/yurn in the
// standard layout, so an installation moved or unpacked elsewhere still finds
// its own data), else the configured install prefix's share/yurn; the first
// of them that holds datos/.  Empty when the current folder holds datos/ (it
// is the data folder then) or when neither candidate does.  Main thread.
std::string installed_data_folder();

// dirname(executable) + "/" + relative; relative alone when executable has
// no folder part.
std::string folder_beside(const std::string& executable, const char* relative);

// The first of count candidate folders that holds a datos/ folder, or "".
std::string first_data_folder(const std::string* candidates, size_t count);

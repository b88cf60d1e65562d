// Resource archive lookup (provisional: disk only until the archive reader lands).
#include "files/files.h"

char* archive_name = nullptr;

FILE* open_data_file(const char* path, const char*) { return std::fopen(path, "rb"); }

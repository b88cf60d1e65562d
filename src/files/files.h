// Data files: the resource archive lookup and the PCX reader.  Stages and the
// 3D engine's loaders open every picture and mesh through open_data_file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Name of the resource archive looked in first ("Yurn.pak", set at start-up);
// null sends every lookup straight to the disk.  Main thread.
extern char* archive_name;

// Opens a data file for reading in binary: the archive member of that name if
// the archive holds it (stream positioned at the member's first byte), else the
// plain file, else null.  The caller owns the stream and closes it with fclose.
FILE* open_data_file(const char* path, const char* mode);

// Loads a PCX picture (8 bits per plane, 1 or 3 planes, raw or run-length).
// Three planes give 0x00RRGGBB pixels; one plane gives one index byte per pixel
// and, with a palette destination, its 768-byte palette.  pixels_capacity is the
// destination's size in bytes: a picture that does not fit is rejected.
// Returns 1; every failure ends in fatal_error.
int32_t read_pcx(const char* path, void* pixels, size_t pixels_capacity, uint8_t* palette);

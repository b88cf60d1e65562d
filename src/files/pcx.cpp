// PCX reader (provisional until the decoder lands).
#include "display/display.h"
#include "files/files.h"

int32_t read_pcx(const char* path, void*, size_t, uint8_t*)
{
    fatal_error("No encuentro el fichero \"%s\"", path);
}

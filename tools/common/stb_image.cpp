// The image library's implementation, compiled into the tools that read and
// write pictures, so they start without loading its shared library (which
// also carries its audio and font decoders).
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

// Files: the resource archive lookup, the PCX reader and writer, and files
// written whole or not at all (OutputFile).  Stages and the 3D engine's
// loaders open every picture and mesh through open_data_file; every file the
// tools and the capture write goes through OutputFile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Resource archive (archive.cpp)
//
// A directory of 24-byte entries from offset 0, then the members' bytes:
//   name    16 bytes, zero-terminated unless the name fills the field
//   offset  32-bit little-endian, member's first byte from the file start
//   spare   32-bit field the lookup never reads (yurn-pak stores the length)
// The directory ends at an entry whose name starts with a zero byte, or at
// the end of the file.
// ---------------------------------------------------------------------------

constexpr size_t ARCHIVE_ENTRY_SIZE = 24;   // bytes per directory entry
constexpr size_t ARCHIVE_NAME_SIZE = 16;    // bytes of the name field
constexpr size_t ARCHIVE_OFFSET_AT = 16;    // offset field within an entry
constexpr size_t ARCHIVE_SPARE_AT = 20;     // the field the lookup does not read

// Owns a stream opened with fopen or open_data_file and closes it, so a
// stream held across a possible fatal_error is never leaked.  Every module
// and tool that holds a FILE holds it as a File.
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Name of the resource archive looked in first ("Yurn.pak", set at start-up);
// null sends every lookup straight to the disk.  Main thread.
extern char* archive_name;

// Folder that holds datos/ and Yurn.pak (yurn --data); null or "" is the
// current folder.  open_data_file reads a plain file from there; the archive's
// member names stay the paths as asked ("datos/Foto1.pcx").  Main thread.
extern const char* data_folder;

// path inside data_folder ("DIR/datos/Foto1.pcx"); path as it is when no
// folder is set or path is absolute.
std::string data_path(const char* path);

// Opens a data file for reading in binary: the archive member of that name if
// the archive holds it (stream positioned at the member's first byte), else the
// plain file, else null when there is no such file.  The caller owns the
// stream and closes it with fclose.  Only regular files are read: a data file
// that is a folder, a FIFO or a device, one that cannot be opened for another
// reason than being missing, or an archive member placed past the archive's
// end ends in fatal_error naming it; an archive that is not a regular file
// counts as absent.
FILE* open_data_file(const char* path, const char* mode);

// What a path that is not a regular file is, for a message ("una carpeta",
// "una tubería (FIFO)", "un dispositivo de caracteres"...).
const char* file_kind(mode_t mode);

// ---------------------------------------------------------------------------
// Output files (output.cpp)
//
// Every file a tool or the capture writes replaces the old one whole or not at
// all: output_open makes a temporary ".<name>.tmp-XXXXXX" beside path,
// output_write appends to it (remembering the first failure), output_commit
// flushes it to disk and renames it over path.  On any failure, or when the
// OutputFile dies uncommitted (an exception, a fatal_error in a test), the
// temporary is removed and the old file stays as it was.  So it is when
// SIGINT, SIGTERM or SIGHUP ends the program mid-write, through the handler
// the program set at its start (files/signals.h).  The path "-" writes to standard output
// instead, with no temporary; so does a path that names a device, a FIFO or
// a socket (/dev/null, /dev/stdout), which is written where it is rather than
// replaced by a file.  A symbolic link to a file stays a link: the file it
// points to is the one replaced; a link that leads nowhere (dangling, a loop)
// is refused.  A name too long for ".<name>.tmp-XXXXXX" gets a temporary
// of its first bytes and a hash.  Each temporary is locked while it lives;
// the first write to a destination removes the unlocked temporaries of this
// user that earlier, killed writers left beside it.
// ---------------------------------------------------------------------------

struct OutputFile {
    std::string path;        // the destination as given, for messages
    std::string final_path;  // what the temporary replaces: path, or the file a link at path points to
    std::string temp_path;   // the temporary while it exists; empty otherwise
    FILE* stream = nullptr;  // open while writing
    int error = 0;           // errno of the first failure; 0 while all went well
    bool sync = true;        // commit flushes the file to disk first; false for many small files
                             // whose writer flushes them together (frame capture)
    int live_slot = -1;      // where the signal handler finds temp_path
    int lock_fd = -1;        // holds the temporary's lock until it is renamed or removed
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();           // removes an uncommitted temporary
};

// Each returns false once anything failed; out.error then says why.
bool output_open(OutputFile& out, const char* path);
bool output_write(OutputFile& out, const void* data, size_t size);
bool output_commit(OutputFile& out);

// open + write + commit of one block; *error (when given) gets the errno.
bool write_whole_file(const char* path, const void* data, size_t size, int* error);

// The file a write to path replaces: path itself, or the file a symbolic
// link at path points to (renamed over, the link would become a plain file
// and what it points to would keep the old contents).
std::string replaced_path(const char* path);
// The name for a temporary beside replaced, ".<name>.tmp-XXXXXX", for
// mkstemp: on the same file system, so rename replaces it in one step.
std::string temporary_name(const std::string& replaced);

// Permissions a plain fopen gives a new file (0666 less the umask), for a file
// made under a temporary name (mkstemp makes it 0600) before it is renamed.
mode_t new_file_mode();
// The permissions for a file about to replace path: the old file's when there
// is one (a private file stays private), new_file_mode's otherwise.
mode_t replacing_file_mode(const char* path);

// OutputFile::error for a destination that is a dangling symbolic link (no
// errno says that); system_reason explains it.
constexpr int OUTPUT_DANGLING_LINK = -1;

// The system's reason for errno error, in Spanish for the usual ones (full
// disk, file-size limit, permissions, missing folder), else strerror's text.
const char* system_reason(int error);

// Appends the stream's bytes from its position to its end to bytes; false when
// a read failed (what was read before stays).  The tools read whole files with it.
bool read_to_end(FILE* file, std::vector<uint8_t>& bytes);

// True when a 16-byte directory name field names path (a-z folded to A-Z,
// other bytes as they are).  Never reads past the field.  Used by the lookup
// and by yurn-pak.
bool archive_name_matches(const uint8_t* field, const char* path);

// Looks path up in an archive directory held in memory (size bytes from the
// start of the archive).  On a hit stores the member's offset and returns true.
// Same rules as open_data_file; the fuzzer and the tests drive it (yurn-pak
// uses archive_name_matches).
bool find_archive_member(const uint8_t* data, size_t size, const char* path, uint32_t* offset);

// The same lookup over an archive stream read from its current position,
// 24 bytes at a time.  Leaves the stream wherever the scan stopped.
bool find_archive_member_in_stream(FILE* archive, const char* path, uint32_t* offset);

// ---------------------------------------------------------------------------
// PCX pictures (pcx.cpp, pcx_write.cpp)
// ---------------------------------------------------------------------------

constexpr size_t PCX_HEADER_SIZE = 128;      // image data start here
constexpr uint32_t PCX_MAX_RGB_WIDTH = 2048; // widest three-plane picture (row storage)

// The header fields of a PCX file as read; width and height derived from the
// unsigned bounds.  bytes_per_line is reported for tools, the reader ignores it.
struct PcxHeader {
    uint8_t version;
    uint8_t encoding;        // 0 = raw, anything else = run-length
    uint8_t bits_per_pixel;  // per plane
    uint8_t planes;
    uint16_t xmin, ymin, xmax, ymax;
    uint16_t horizontal_dpi, vertical_dpi;
    uint16_t bytes_per_line;
    uint16_t palette_info;
    uint32_t width, height;
    bool palette_found;      // one plane with a palette destination: a palette was read
};

// How long a plane line is.  The show reads lines of exactly width bytes,
// whatever the header says; a tool converting a picture reads the
// bytes-per-line field (lines padded past width, as writers of odd widths do),
// which needs row storage from the heap.
enum class PcxLines { width, bytes_per_line };

// The bytes of one plane line as lines reads them: bytes_per_line when asked
// for and larger than width, else width.
uint32_t pcx_line_length(const PcxHeader& header, PcxLines lines);

// Loads a PCX picture (8 bits per plane, 1 or 3 planes, raw or run-length).
// Three planes give 0x00RRGGBB pixels; one plane gives one index byte per pixel
// and, with a palette destination, its 768-byte palette.  pixels_capacity is the
// destination's size in bytes: a picture that does not fit is rejected.
// Returns 1; every failure ends in fatal_error.
int32_t read_pcx(const char* path, void* pixels, size_t pixels_capacity, uint8_t* palette);

// read_pcx over a stream open at the picture's first byte (a plain file or an
// archive member); name is used in the messages.  The stream stays open, read
// up to where the picture ended (or further, in chunks).
int32_t read_pcx_stream(const char* name, FILE* file, void* pixels, size_t pixels_capacity, uint8_t* palette);

// read_pcx over a file held in memory; name is used in the messages.  Fills
// *header when given.  The fuzzer, yurn-pcx and yurn-mesh (textures) drive
// it; lines as the show reads them unless asked otherwise.
int32_t read_pcx_memory(const char* name, const uint8_t* data, size_t size, void* pixels,
                        size_t pixels_capacity, uint8_t* palette, PcxHeader* header,
                        PcxLines lines = PcxLines::width);

// Called by read_pcx_rows with each row, top to bottom: width index bytes
// (one plane) or width 0x00RRGGBB values (three planes).  header is the
// picture's, with palette_found already settled.
using PcxRowFunction = void (*)(void* context, const PcxHeader& header, uint32_t y, const void* row);

// The picture of a PCX stream (open at its first byte) handed over one row at
// a time, holding one row: the same checks, messages and pixels as
// read_pcx_memory with the same lines, for pictures too large to hold.  With
// a palette destination and one plane the image is decoded twice, since the
// palette that the rows need comes after them: the stream must then be
// seekable.  Returns the header.  yurn-pcx decode streams through it.
PcxHeader read_pcx_rows(const char* name, FILE* file, PcxLines lines, uint8_t* palette, PcxRowFunction row,
                        void* context);

// Reads and checks only the header of a PCX file held in memory, with the
// same checks and messages as read_pcx.  Lets a caller size its buffer first.
PcxHeader read_pcx_header(const char* name, const uint8_t* data, size_t size);

// False when a file of file_size bytes cannot hold the picture its header
// announces (raw data shorter than the planes, or run-length data that even
// at 63 bytes a pair could not fill them).  Lets a tool refuse a damaged file
// before allocating for its picture.
bool pcx_data_can_fill(const PcxHeader& header, size_t file_size, PcxLines lines);

// Bytes the decoded picture takes: width * height * 4 for three planes,
// width * height for one.
uint64_t pcx_decoded_size(const PcxHeader& header);

// Encodes 0x00RRGGBB pixels as a version 5, three-plane, run-length PCX file
// with lines of exactly width bytes (bytes-per-line = width) and runs that stop
// at line ends, so every common reader agrees with ours.  width and height in
// 1..65535.
std::vector<uint8_t> encode_pcx_rgb(const uint32_t* pixels, uint32_t width, uint32_t height);

// yurn-pak: makes, lists and unpacks resource archives (Yurn.pak).
//   yurn-pak create OUT.pak FILE...
//   yurn-pak list ARCHIVE
//   yurn-pak extract ARCHIVE [NAME...] [-C DIR]
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "files/files.h"

namespace fs = std::filesystem;

namespace {

constexpr char USAGE[] =
    "Uso: yurn-pak create SALIDA.pak FICHERO...\n"
    "     yurn-pak list ARCHIVO\n"
    "     yurn-pak extract ARCHIVO [NOMBRE...] [-C CARPETA]\n"
    "\n"
    "create   guarda cada FICHERO con su ruta tal como se escribe (la que pide el\n"
    "         programa, por ejemplo datos/Foto1.pcx), de 16 caracteres como mucho.\n"
    "list     muestra nombre, posicion y longitud de cada miembro.\n"
    "extract  saca todos los miembros, o los NOMBREs dados (mayusculas y minusculas\n"
    "         a-z dan igual), bajo CARPETA (por defecto la actual).\n"
    "\n"
    "El archivo es un directorio de entradas de 24 bytes (nombre de 16, posicion de\n"
    "32 bits y la longitud en el ultimo campo de 32 bits), una entrada a cero que lo\n"
    "cierra y los datos de los miembros.  En archivos de otros programas, donde ese\n"
    "campo no es una longitud, cada miembro llega hasta el siguiente o hasta el final.\n";

struct Member {
    std::string name;  // as stored, up to 16 bytes
    uint32_t offset;
    uint32_t spare;    // the length field when this program wrote the archive
    uint64_t length;   // bytes to extract
};

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "yurn-pak: %s\n", message.c_str());
    std::exit(1);
}

bool read_whole(const std::string& path, std::vector<uint8_t>& out)
{
    File f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    out.clear();
    return read_to_end(f.get(), out);
}

void put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint32_t get_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Name bytes fit for a terminal: other bytes as \xNN.
std::string printable(const std::string& name)
{
    std::string s;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s.push_back(char(c));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            s += esc;
        }
    }
    return s;
}

// The directory as the show's lookup sees it: up to the end marker, the end of
// the file, or an entry cut short before its offset is complete.  Member
// lengths: the last field when it is a length for every member, else up to
// the next member's offset or the end of the file.
std::vector<Member> read_directory(const std::vector<uint8_t>& pak)
{
    std::vector<Member> members;
    for (size_t at = 0; at < pak.size(); at += ARCHIVE_ENTRY_SIZE) {
        size_t got = std::min(ARCHIVE_ENTRY_SIZE, pak.size() - at);
        const uint8_t* e = pak.data() + at;
        if (got < ARCHIVE_SPARE_AT || e[0] == 0)
            break;
        size_t name_length = 0;
        while (name_length < ARCHIVE_NAME_SIZE && e[name_length])
            ++name_length;
        Member m{std::string(reinterpret_cast<const char*>(e), name_length),
                 get_le32(e + ARCHIVE_OFFSET_AT), got == ARCHIVE_ENTRY_SIZE ? get_le32(e + ARCHIVE_SPARE_AT) : 0,
                 0};
        members.push_back(m);
        if (got < ARCHIVE_ENTRY_SIZE)
            break;
    }

    const uint64_t size = pak.size();
    std::vector<uint64_t> gaps;
    bool lengths = true, all_zero = true, gaps_zero = true;
    for (const Member& m : members) {
        uint64_t next = size;
        for (const Member& o : members)
            if (o.offset > m.offset && o.offset < next)
                next = o.offset;
        uint64_t gap = m.offset <= size ? next - m.offset : 0;
        gaps.push_back(gap);
        lengths = lengths && m.spare <= gap;
        all_zero = all_zero && m.spare == 0;
        gaps_zero = gaps_zero && gap == 0;
    }
    if (all_zero && !gaps_zero)
        lengths = false;  // a field never filled in
    for (size_t i = 0; i < members.size(); ++i)
        members[i].length = lengths ? members[i].spare : gaps[i];
    return members;
}

std::vector<uint8_t> load_archive(const std::string& path)
{
    std::vector<uint8_t> pak;
    if (!read_whole(path, pak))
        fail("no se puede leer el archivo " + path + ": " + std::strerror(errno));
    return pak;
}

int create(const std::string& out_path, const std::vector<std::string>& names)
{
    if (names.empty())
        fail("create necesita al menos un fichero (yurn-pak --help)");
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& n = names[i];
        if (n.empty() || n.size() > ARCHIVE_NAME_SIZE)
            fail("el nombre \"" + n + "\" tiene " + std::to_string(n.size()) +
                 " caracteres; en el archivo caben de 1 a 16");
        for (size_t j = 0; j < i; ++j) {
            auto* field = reinterpret_cast<const uint8_t*>(names[j].c_str());
            uint8_t padded[ARCHIVE_NAME_SIZE] = {};
            std::memcpy(padded, field, names[j].size());
            if (archive_name_matches(padded, n.c_str()))
                fail("\"" + n + "\" y \"" + names[j] +
                     "\" son el mismo nombre para el programa; solo se leeria el primero");
        }
    }

    const uint64_t directory = (names.size() + 1) * ARCHIVE_ENTRY_SIZE;
    std::vector<uint8_t> dir(directory, 0);
    std::vector<std::vector<uint8_t>> data(names.size());
    uint64_t at = directory;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!read_whole(names[i], data[i]))
            fail("no se puede leer " + names[i] + ": " + std::strerror(errno));
        if (at + data[i].size() > std::numeric_limits<uint32_t>::max())
            fail("el archivo pasaria de 4 GiB al anadir " + names[i]);
        uint8_t* e = dir.data() + i * ARCHIVE_ENTRY_SIZE;
        std::memcpy(e, names[i].data(), names[i].size());
        put_le32(e + ARCHIVE_OFFSET_AT, uint32_t(at));
        put_le32(e + ARCHIVE_SPARE_AT, uint32_t(data[i].size()));
        at += data[i].size();
    }

    File out(std::fopen(out_path.c_str(), "wb"));
    if (!out)
        fail("no se puede crear " + out_path + ": " + std::strerror(errno));
    bool ok = std::fwrite(dir.data(), 1, dir.size(), out.get()) == dir.size();
    for (size_t i = 0; ok && i < names.size(); ++i) {
        ok = std::fwrite(data[i].data(), 1, data[i].size(), out.get()) == data[i].size();
        if (ok)
            std::printf("%-16s %10zu bytes\n", names[i].c_str(), data[i].size());
    }
    ok = std::fclose(out.release()) == 0 && ok;
    if (!ok) {
        std::remove(out_path.c_str());
        fail("error al escribir " + out_path);
    }
    std::printf("%s: %zu miembros, %llu bytes\n", out_path.c_str(), names.size(),
                static_cast<unsigned long long>(at));
    return 0;
}

int list(const std::string& path)
{
    std::vector<uint8_t> pak = load_archive(path);
    std::vector<Member> members = read_directory(pak);
    std::printf("%-16s %10s %10s\n", "nombre", "posicion", "longitud");
    for (const Member& m : members) {
        std::printf("%-16s %10u %10llu%s\n", printable(m.name).c_str(), unsigned(m.offset),
                    static_cast<unsigned long long>(m.length),
                    m.offset > pak.size() ? "  (fuera del archivo)" : "");
    }
    return 0;
}

// A member name is written under the target folder only as a plain relative
// path: no absolute paths, no "..", no empty parts.
bool safe_relative(const std::string& name)
{
    if (name.empty() || name[0] == '/')
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

int extract(const std::string& path, const std::vector<std::string>& wanted, const std::string& dir)
{
    std::vector<uint8_t> pak = load_archive(path);
    std::vector<Member> members = read_directory(pak);
    std::vector<const Member*> chosen;
    int errors = 0;
    if (wanted.empty()) {
        for (const Member& m : members)
            chosen.push_back(&m);
    } else {
        for (const std::string& w : wanted) {
            const Member* hit = nullptr;
            for (const Member& m : members) {
                uint8_t field[ARCHIVE_NAME_SIZE] = {};
                std::memcpy(field, m.name.data(), m.name.size());
                if (archive_name_matches(field, w.c_str())) {
                    hit = &m;  // the first, as the show would read it
                    break;
                }
            }
            if (!hit) {
                std::fprintf(stderr, "yurn-pak: %s no esta en %s\n", w.c_str(), path.c_str());
                ++errors;
            } else {
                chosen.push_back(hit);
            }
        }
    }
    for (const Member* m : chosen) {
        if (!safe_relative(m->name)) {
            std::fprintf(stderr, "yurn-pak: no extraigo \"%s\": no es una ruta relativa limpia\n",
                         printable(m->name).c_str());
            ++errors;
            continue;
        }
        if (m->offset > pak.size() || m->length > pak.size() - m->offset) {
            std::fprintf(stderr, "yurn-pak: %s queda fuera del archivo\n", printable(m->name).c_str());
            ++errors;
            continue;
        }
        fs::path target = fs::path(dir) / m->name;
        std::error_code ec;
        if (target.has_parent_path())
            fs::create_directories(target.parent_path(), ec);
        File out(std::fopen(target.c_str(), "wb"));
        bool ok = out && std::fwrite(pak.data() + m->offset, 1, m->length, out.get()) == m->length;
        ok = out && std::fclose(out.release()) == 0 && ok;
        if (!ok) {
            std::fprintf(stderr, "yurn-pak: no se puede escribir %s: %s\n", target.c_str(),
                         std::strerror(errno));
            ++errors;
            continue;
        }
        std::printf("%s (%llu bytes)\n", target.c_str(), static_cast<unsigned long long>(m->length));
    }
    return errors ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" ||
        std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::fputs(USAGE, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    if (command == "create") {
        if (args.size() < 3)
            fail("uso: yurn-pak create SALIDA.pak FICHERO...");
        return create(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    if (command == "list") {
        if (args.size() != 2)
            fail("uso: yurn-pak list ARCHIVO");
        return list(args[1]);
    }
    if (command == "extract") {
        if (args.size() < 2)
            fail("uso: yurn-pak extract ARCHIVO [NOMBRE...] [-C CARPETA]");
        std::string dir = ".";
        std::vector<std::string> names;
        for (size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "-C") {
                if (i + 1 >= args.size())
                    fail("-C necesita una carpeta");
                dir = args[++i];
            } else {
                names.push_back(args[i]);
            }
        }
        return extract(args[1], names, dir);
    }
    fail("orden desconocida \"" + command + "\" (yurn-pak --help)");
}

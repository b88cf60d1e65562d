// yurn-pak: makes, lists and unpacks resource archives (Yurn.pak).
//   yurn-pak create OUT.pak FILE...
//   yurn-pak create --show SHOW.toml OUT.pak
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

#include "common/cli.h"
#include "files/files.h"
#include "files/little_endian.h"
#include "files/show_file.h"

namespace fs = std::filesystem;
using cli::fail;
using cli::printable;
using cli::usage_error;

namespace {

constexpr char USAGE[] =
    "Uso: yurn-pak create SALIDA.pak FICHERO...\n"
    "     yurn-pak create --show ESPECTÁCULO.toml SALIDA.pak\n"
    "     yurn-pak list ARCHIVO\n"
    "     yurn-pak extract ARCHIVO [NOMBRE...] [-C CARPETA]\n"
    "     yurn-pak --help | --version\n"
    "\n"
    "create   guarda cada FICHERO con su ruta tal como se escribe (la que pide el\n"
    "         programa, por ejemplo datos/Foto1.pcx), de 16 caracteres como mucho.\n"
    "         SALIDA debe acabar en .pak y no ser uno de los FICHEROs; - la escribe\n"
    "         en la salida estándar.  Un archivo anterior solo se sustituye cuando\n"
    "         el nuevo está completo.  Con --show guarda justo los ficheros que lee\n"
    "         ese espectáculo (fotos, mallas, texturas; la música no, que se lee\n"
    "         siempre del disco), con los nombres que pide, leídos de su carpeta.\n"
    "list     muestra nombre, posición y longitud de cada miembro.\n"
    "extract  saca todos los miembros, o los NOMBREs dados (mayúsculas y minúsculas\n"
    "         a-z dan igual), bajo CARPETA (por defecto la actual).  De dos entradas\n"
    "         con el mismo nombre saca la que lee el programa, la primera.  Con\n"
    "         -C - escribe los miembros en la salida estándar.\n"
    "\n"
    "El archivo es un directorio de entradas de 24 bytes (nombre de 16, posición de\n"
    "32 bits y la longitud en el último campo de 32 bits), una entrada a cero que lo\n"
    "cierra y los datos de los miembros.  En archivos de otros programas, donde ese\n"
    "campo no es una longitud, cada miembro llega hasta el siguiente o hasta el final.\n"
    "\n"
    "Las opciones admiten --opción VALOR y --opción=VALOR.  Salida: 0 si todo fue\n"
    "bien, 1 si algo falló, 2 si la orden está mal escrita.\n";

struct Member {
    std::string name;  // as stored, up to 16 bytes
    uint32_t offset;
    uint32_t spare;    // the length field when this program wrote the archive
    uint64_t length;   // bytes to extract
};

// The name field of an entry as the lookup compares it.
void name_field(const std::string& name, uint8_t field[ARCHIVE_NAME_SIZE])
{
    std::memset(field, 0, ARCHIVE_NAME_SIZE);
    std::memcpy(field, name.data(), std::min(name.size(), ARCHIVE_NAME_SIZE));
}

// The name with a-z folded to A-Z: two names the lookup takes for the same
// have the same key.
std::string folded(const std::string& name)
{
    std::string key = name;
    for (char& c : key)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return key;
}

// Indices of the entries the lookup can never reach: a later entry whose name
// an earlier one already answers.  Sorting by folded name keeps it n log n.
std::vector<bool> shadowed_entries(const std::vector<std::string>& names)
{
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i)
        keys.emplace_back(folded(names[i]), i);
    std::sort(keys.begin(), keys.end());
    std::vector<bool> shadowed(names.size(), false);
    for (size_t i = 1; i < keys.size(); ++i)
        if (keys[i].first == keys[i - 1].first)
            shadowed[keys[i].second] = true;
    return shadowed;
}

// The directory as the show's lookup sees it: the entries up to the end
// marker.  A file whose directory does not hold together (no end marker, an
// entry pointing into the directory or past the end of the file) is no
// archive, and the tool ends saying so.  Member lengths: the last field when
// it is a length for every member, else up to the next member's offset or
// the end of the file.
std::vector<Member> read_directory(const std::string& path, const std::vector<uint8_t>& pak)
{
    std::vector<Member> members;
    size_t at = 0;
    bool ended = false;
    for (; at + ARCHIVE_ENTRY_SIZE <= pak.size(); at += ARCHIVE_ENTRY_SIZE) {
        const uint8_t* e = pak.data() + at;
        if (e[0] == 0) {
            ended = true;
            break;
        }
        size_t name_length = 0;
        while (name_length < ARCHIVE_NAME_SIZE && e[name_length])
            ++name_length;
        members.push_back({std::string(reinterpret_cast<const char*>(e), name_length),
                           read_le32(e + ARCHIVE_OFFSET_AT), read_le32(e + ARCHIVE_SPARE_AT), 0});
    }
    if (pak.empty())
        fail("%s está vacío: no es un archivo de recursos", path.c_str());
    if (!ended)
        fail("%s no es un archivo de recursos: su directorio no termina con una entrada a cero", path.c_str());
    const uint64_t size = pak.size();
    const uint64_t directory_end = at + ARCHIVE_ENTRY_SIZE;
    for (size_t i = 0; i < members.size(); ++i)
        if (members[i].offset < directory_end || members[i].offset > size)
            fail("%s no es un archivo de recursos: la entrada %zu (\"%s\") apunta a la posición %u, fuera de "
                 "los datos (de %llu a %llu)",
                 path.c_str(), i + 1, printable(members[i].name).c_str(), unsigned(members[i].offset),
                 static_cast<unsigned long long>(directory_end), static_cast<unsigned long long>(size));

    // Each member's room: up to the next larger offset, found in the sorted offsets.
    std::vector<uint32_t> offsets;
    offsets.reserve(members.size());
    for (const Member& m : members)
        offsets.push_back(m.offset);
    std::sort(offsets.begin(), offsets.end());
    std::vector<uint64_t> gaps;
    gaps.reserve(members.size());
    bool lengths = true, all_zero = true, gaps_zero = true;
    for (const Member& m : members) {
        auto next = std::upper_bound(offsets.begin(), offsets.end(), m.offset);
        const uint64_t gap = (next == offsets.end() ? size : *next) - m.offset;
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
    cli::subject = path;
    return cli::read_file(path);
}

// The files a show reads into the archive, under the names it asks for, read
// from beside the show file.  A show file with faults ends the tool as a
// usage error, each fault with its line.
void files_of_show(const std::string& show_path, std::vector<std::string>* names, std::vector<std::string>* sources)
{
    ShowFile show;
    std::vector<ShowProblem> problems;
    if (!read_show_file(show_path.c_str(), &show, &problems)) {
        for (const ShowProblem& problem : problems)
            std::fprintf(stderr, "%s: %s\n", cli::program, format_show_problem(show_path, problem).c_str());
        cli::usage_error("%s no es un espectáculo válido (yurn --check %s lo explica)", show_path.c_str(),
                         show_path.c_str());
    }
    for (const ShowFileUse& use : show_files_used(show)) {
        if (!std::strcmp(use.what, "música"))
            continue;  // the player reads the music from the disk, never from the archive
        if (use.path.size() > ARCHIVE_NAME_SIZE)
            cli::fail("%s: \"%s\" tiene %zu caracteres y en el archivo caben 16; acórtalo en el espectáculo",
                      format_show_problem(show_path, {use.place, ""}).c_str(), printable(use.path).c_str(),
                      use.path.size());
        names->push_back(use.path);
        sources->push_back(use.path[0] == '/' || show.folder.empty() ? use.path : show.folder + "/" + use.path);
    }
    if (names->empty())
        cli::fail("%s no lee ningún fichero que guardar (la música se lee siempre del disco)", show_path.c_str());
}

// Run from inside datos/, the names stored lack the "datos/" the show asks
// for, and the show would not find them in the archive.
void warn_inside_data_folder(const std::vector<std::string>& names)
{
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    if (ec || here.filename() != "datos")
        return;
    for (const std::string& n : names)
        if (n.rfind("datos/", 0) != 0 && n.find('/') == std::string::npos) {
            cli::warn("estás dentro de datos/: el archivo guarda \"%s\", pero el espectáculo pide \"datos/%s\" y no "
                      "lo encontrará; ejecuta yurn-pak create desde la carpeta de arriba (o usa --show)",
                      printable(n).c_str(), printable(n).c_str());
            return;
        }
}

int create(const std::string& out_path, const std::vector<std::string>& names, std::vector<std::string> sources)
{
    if (sources.empty())
        sources = names;
    if (out_path != "-" && cli::extension(out_path) != "pak")
        usage_error("el archivo de salida %s debe acabar en .pak (¿falta su nombre delante de los ficheros?)",
                    out_path.c_str());
    for (const std::string& n : names) {
        if (n.empty() || n.size() > ARCHIVE_NAME_SIZE)
            usage_error("el nombre \"%s\" tiene %zu caracteres; en el archivo caben de 1 a 16",
                        printable(n).c_str(), n.size());
    }
    for (const std::string& source : sources)
        if (cli::same_file(source, out_path))
            usage_error("%s es a la vez la salida y uno de los ficheros que guardar", source.c_str());
    cli::refuse_binary_terminal(out_path, "el archivo");
    const std::vector<bool> shadowed = shadowed_entries(names);
    for (size_t i = 0; i < names.size(); ++i)
        if (shadowed[i]) {
            const std::string key = folded(names[i]);
            const auto first = std::find_if(names.begin(), names.end(),
                                            [&](const std::string& n) { return folded(n) == key; });
            usage_error("\"%s\" y \"%s\" son el mismo nombre para el programa; solo se leería el primero",
                        printable(names[i]).c_str(), printable(*first).c_str());
        }

    const uint64_t directory = (names.size() + 1) * ARCHIVE_ENTRY_SIZE;
    std::vector<uint8_t> dir(directory, 0);
    std::vector<std::vector<uint8_t>> data(names.size());
    uint64_t at = directory;
    for (size_t i = 0; i < names.size(); ++i) {
        data[i] = cli::read_file(sources[i]);
        if (at + data[i].size() > std::numeric_limits<uint32_t>::max())
            fail("el archivo pasaría de 4 GiB al añadir %s", names[i].c_str());
        uint8_t* e = dir.data() + i * ARCHIVE_ENTRY_SIZE;
        std::memcpy(e, names[i].data(), names[i].size());
        write_le32(e + ARCHIVE_OFFSET_AT, uint32_t(at));
        write_le32(e + ARCHIVE_SPARE_AT, uint32_t(data[i].size()));
        at += data[i].size();
    }

    // The old archive is replaced only once the new one is whole on disk; a
    // failed temporary is gone before the tool ends.
    int error = 0;
    {
        OutputFile out;
        bool ok = output_open(out, out_path.c_str()) && output_write(out, dir.data(), dir.size());
        for (size_t i = 0; ok && i < names.size(); ++i)
            ok = output_write(out, data[i].data(), data[i].size());
        if (!(ok && output_commit(out)))
            error = out.error;
    }
    if (error)
        fail("no se puede escribir %s: %s; el archivo anterior, si lo había, sigue intacto", out_path.c_str(),
             system_reason(error));
    FILE* report = out_path == "-" ? stderr : stdout;
    for (size_t i = 0; i < names.size(); ++i)
        std::fprintf(report, "%-16s %10zu bytes\n", printable(names[i]).c_str(), data[i].size());
    std::fprintf(report, "%s: %zu miembros, %llu bytes\n", out_path.c_str(), names.size(),
                 static_cast<unsigned long long>(at));
    return 0;
}

int list(const std::string& path)
{
    std::vector<uint8_t> pak = load_archive(path);
    std::vector<Member> members = read_directory(path, pak);
    std::printf("nombre             posición   longitud\n");
    for (const Member& m : members)
        std::printf("%-16s %10u %10llu\n", printable(m.name).c_str(), unsigned(m.offset),
                    static_cast<unsigned long long>(m.length));
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
    std::vector<Member> members = read_directory(path, pak);
    std::vector<std::string> names;
    names.reserve(members.size());
    for (const Member& m : members)
        names.push_back(m.name);
    const std::vector<bool> shadowed = shadowed_entries(names);

    // What the show would read under each name: the first entry of that name.
    std::vector<std::pair<std::string, size_t>> first;
    first.reserve(members.size());
    for (size_t i = 0; i < members.size(); ++i)
        if (!shadowed[i])
            first.emplace_back(folded(members[i].name), i);
    std::sort(first.begin(), first.end());

    std::vector<size_t> chosen;
    int errors = 0;
    if (wanted.empty()) {
        for (size_t i = 0; i < members.size(); ++i) {
            if (shadowed[i])
                cli::warn("salto la entrada %zu (\"%s\"): repite un nombre anterior y el programa solo lee "
                          "la primera",
                          i + 1, printable(members[i].name).c_str());
            else
                chosen.push_back(i);
        }
    } else {
        for (const std::string& w : wanted) {
            auto hit = std::lower_bound(first.begin(), first.end(), std::make_pair(folded(w), size_t(0)));
            uint8_t field[ARCHIVE_NAME_SIZE];
            if (hit != first.end())
                name_field(members[hit->second].name, field);
            if (hit == first.end() || !archive_name_matches(field, w.c_str())) {
                std::fprintf(stderr, "%s: %s no está en %s\n", cli::program, printable(w).c_str(), path.c_str());
                ++errors;
            } else {
                chosen.push_back(hit->second);
            }
        }
    }
    for (size_t i : chosen) {
        const Member& m = members[i];
        if (!safe_relative(m.name)) {
            std::fprintf(stderr, "%s: no extraigo \"%s\": no es una ruta relativa limpia\n", cli::program,
                         printable(m.name).c_str());
            ++errors;
            continue;
        }
        if (m.length > pak.size() - m.offset) {
            std::fprintf(stderr, "%s: %s queda fuera del archivo\n", cli::program, printable(m.name).c_str());
            ++errors;
            continue;
        }
        // -C - sends the members' bytes to standard output, the report to standard error.
        const bool to_stdout = dir == "-";
        const fs::path target = to_stdout ? fs::path("-") : fs::path(dir) / m.name;
        // A member named like the archive, extracted beside it, would replace it.
        if (!to_stdout && cli::same_file(target.string(), path)) {
            std::fprintf(stderr, "%s: no extraigo \"%s\": %s es el propio archivo\n", cli::program,
                         printable(m.name).c_str(), printable(target.string()).c_str());
            ++errors;
            continue;
        }
        // Names come from the archive: a link already there is neither
        // followed (it could point anywhere) nor replaced.
        std::error_code ec;
        if (!to_stdout && fs::is_symlink(fs::symlink_status(target, ec))) {
            std::fprintf(stderr, "%s: no extraigo \"%s\": %s es un enlace simbólico\n", cli::program,
                         printable(m.name).c_str(), printable(target.string()).c_str());
            ++errors;
            continue;
        }
        if (!to_stdout && target.has_parent_path())
            fs::create_directories(target.parent_path(), ec);
        int error = 0;
        if (!write_whole_file(target.c_str(), pak.data() + m.offset, size_t(m.length), &error)) {
            std::fprintf(stderr, "%s: no se puede escribir %s: %s\n", cli::program, printable(target.string()).c_str(),
                         system_reason(error));
            ++errors;
            continue;
        }
        std::fprintf(to_stdout ? stderr : stdout, "%s (%llu bytes)\n",
                     printable(to_stdout ? m.name : target.string()).c_str(), static_cast<unsigned long long>(m.length));
    }
    return errors ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    cli::init("yurn-pak");
    cli::Args args(argc, argv);
    std::string command, a, dir = ".", show;
    std::vector<std::string> operands;
    bool is_option = false;
    while (args.next(a, is_option)) {
        cli::answer_help_or_version(args, [](FILE* out) { std::fputs(USAGE, out); });
        if (!is_option) {
            if (command.empty())
                command = a;
            else
                operands.push_back(a);
        } else if (a == "--show" && command == "create") {
            show = args.value(a);
        } else if ((a == "-C" || a == "--directory") && command == "extract") {
            dir = args.value(a);
        } else {
            usage_error("opción desconocida \"%s\"%s%s", a.c_str(), command.empty() ? "" : " para ",
                        command.c_str());
        }
    }
    if (command.empty()) {
        std::fputs(USAGE, stderr);
        return cli::EXIT_USAGE;
    }
    if (command == "create" && !show.empty()) {
        if (operands.size() != 1)
            usage_error("create --show ESPECTÁCULO necesita SALIDA.pak y nada más: los ficheros los dice el espectáculo");
        std::vector<std::string> names, sources;
        files_of_show(show, &names, &sources);
        return create(operands[0], names, sources);
    }
    if (command == "create") {
        if (operands.size() < 2)
            usage_error("create necesita SALIDA.pak y al menos un fichero");
        const std::vector<std::string> names(operands.begin() + 1, operands.end());
        warn_inside_data_folder(names);
        return create(operands[0], names, {});
    }
    if (command == "list") {
        if (operands.size() != 1)
            usage_error("list necesita un ARCHIVO y nada más");
        return list(operands[0]);
    }
    if (command == "extract") {
        if (operands.empty())
            usage_error("extract necesita un ARCHIVO");
        return extract(operands[0], std::vector<std::string>(operands.begin() + 1, operands.end()), dir);
    }
    usage_error("orden desconocida \"%s\"", command.c_str());
}

// yurn-show: makes a show of one's own from photographs and a song.
//   yurn-show new DIR PHOTO... --music SONG [--seconds S] [--fit crop|letterbox] [--fade S]
// Each photograph goes through the same pipeline as yurn-pcx encode
// (tools/common/picture.h) into DIR/datos/fNNN.pcx; the cues are spaced so the
// show lasts as long as the song; DIR/show.toml describes it and DIR/Yurn.pak
// holds the pictures under the names the show asks for.
//
// The song's length comes from ffprobe: it comes with ffmpeg, which the video
// capture already needs; it reads the length from the stream's own headers
// without decoding the sound; and it keeps this tool free of SDL and of an
// audio decoder of its own.  Without ffprobe, --seconds gives the length.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/cli.h"
#include "common/picture.h"
#include "files/files.h"
#include "files/show_file.h"

extern char** environ;

namespace fs = std::filesystem;
using cli::fail;
using cli::usage_error;

namespace {

constexpr char USAGE[] =
    "Uso: yurn-show new CARPETA FOTO... --music CANCIÓN [--seconds S] [--fit crop|letterbox]\n"
    "                   [--fade S]\n"
    "     yurn-show --help | --version\n"
    "\n"
    "new      hace un espectáculo con las FOTOs (de 1 a 100, en ese orden; PNG, JPEG,\n"
    "         BMP, TGA, GIF, PNM) unidas por fundidos, sobre la CANCIÓN:\n"
    "           CARPETA/show.toml        el espectáculo (yurn --show lo muestra)\n"
    "           CARPETA/datos/f001.pcx…  cada foto a 320 x 240, derecha según su\n"
    "                                    EXIF, como yurn-pcx encode\n"
    "           CARPETA/datos/cancion.*  la canción\n"
    "           CARPETA/Yurn.pak         las fotos empaquetadas\n"
    "         Las marcas se reparten para que el espectáculo dure lo que la canción\n"
    "         (lo mide ffprobe), o S segundos con --seconds.  --fit: crop (por\n"
    "         defecto) llena el cuadro y recorta lo que sobra; letterbox cabe entera\n"
    "         con bandas negras.  --fade S: cada fundido dura S segundos (por defecto\n"
    "         1,778 s, el del espectáculo, o menos si las fotos no caben; cada foto\n"
    "         queda al menos 0,5 s sola).  La música se desvanece en los últimos 2 s.\n"
    "         Un píxel transparente se pone sobre negro, con un aviso.  CARPETA no\n"
    "         debe tener ya un show.toml.\n"
    "\n"
    "Las opciones admiten --opción VALOR y --opción=VALOR.  Salida: 0 si todo fue\n"
    "bien, 1 si algo falló, 2 si la orden está mal escrita.\n";

constexpr int32_t MAX_PHOTOGRAPHS = 100;
constexpr double FADE_SECONDS = SHOW_CROSSFADE_TICKS * 0.014;  // the show's own cross-fade
constexpr double MIN_HOLD_SECONDS = 0.5;                       // a photograph alone after its fade
constexpr double MUSIC_FADE_SECONDS = 2.0;                     // the song fades out over the show's end

// A positive number of seconds up to a day; false for anything else.
bool parse_seconds(const std::string& text, double* out, bool zero_allowed)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno || *end || !std::isfinite(value) || value > SHOW_MAX_SECONDS || value < 0.0 || (!zero_allowed && value == 0.0))
        return false;
    *out = value;
    return true;
}

// The song's length in seconds from ffprobe, or -1 when it cannot tell.
double song_seconds(const std::string& song)
{
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0)
        return -1.0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", 0, 0);
    const char* args[] = {"ffprobe", "-v", "error", "-show_entries", "format=duration",
                          "-of", "default=noprint_wrappers=1:nokey=1", "--", song.c_str(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "ffprobe", &actions, nullptr, const_cast<char**>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[1]);
    std::string text;
    if (spawned == 0) {
        char buffer[256];
        ssize_t got;
        while ((got = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0 && text.size() < 4096)
            text.append(buffer, size_t(got));
    }
    ::close(pipe_fds[0]);
    if (spawned != 0)
        return -1.0;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1.0;
    double seconds = 0.0;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return parse_seconds(text, &seconds, false) ? seconds : -1.0;
}

// Seconds with three decimals, without the trailing zeros.
std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    std::string s = text;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

// A TOML basic string of text: quotes, backslashes and control bytes escaped.
std::string toml_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

void put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// The archive: 24-byte entries (name, offset, length), a zero entry, the members.
std::vector<uint8_t> archive_of(const std::vector<std::string>& names, const std::vector<std::vector<uint8_t>>& members)
{
    std::vector<uint8_t> out((names.size() + 1) * ARCHIVE_ENTRY_SIZE, 0);
    uint64_t at = out.size();
    for (size_t i = 0; i < names.size(); ++i) {
        uint8_t* entry = out.data() + i * ARCHIVE_ENTRY_SIZE;
        std::memcpy(entry, names[i].data(), std::min(names[i].size(), ARCHIVE_NAME_SIZE));
        put_le32(entry + ARCHIVE_OFFSET_AT, uint32_t(at));
        put_le32(entry + ARCHIVE_SPARE_AT, uint32_t(members[i].size()));
        at += members[i].size();
    }
    if (at > 0xFFFFFFFFu)
        fail("las fotos no caben en un archivo de recursos (más de 4 GiB)");
    for (const std::vector<uint8_t>& member : members)
        out.insert(out.end(), member.begin(), member.end());
    return out;
}

int make_show(const std::string& dir, const std::vector<std::string>& photos, const std::string& song,
              double seconds_given, picture::Fit fit, double fade)
{
    const int32_t n = int32_t(photos.size());
    const fs::path folder(dir);
    if (fs::exists(folder / "show.toml"))
        fail("%s ya tiene un show.toml: elige otra carpeta o bórralo antes", dir.c_str());
    double length = seconds_given;
    if (length <= 0.0) {
        length = song_seconds(song);
        if (length <= 0.0)
            fail("no sé cuánto dura %s (ffprobe no lo dice; ¿está instalado ffmpeg?): dalo con --seconds S",
                 song.c_str());
    }
    // Cues at whole milliseconds; each photograph after the first shares its
    // interval with the fade into it.
    const double interval = length / n;
    // The fade as asked, or the show's own when it leaves each photograph its
    // half second, or what does.
    if (fade < 0.0)
        fade = std::min(FADE_SECONDS, std::floor((interval - MIN_HOLD_SECONDS) / 0.014) * 0.014);
    float step = 2.0f;
    int32_t ticks = SHOW_CROSSFADE_TICKS;
    if (n > 1) {
        if (fade < SHOW_MIN_FADE_SECONDS)
            fail("%d fotos no caben en %s s: cada una necesita al menos %.3f s; usa menos fotos o más segundos", n,
                 seconds_text(length).c_str(), MIN_HOLD_SECONDS + SHOW_MIN_FADE_SECONDS);
        show_fade_step(fade, &step, &ticks);
        const double fade_seconds = ticks * 0.014;
        if (interval < fade_seconds + MIN_HOLD_SECONDS)
            fail("%d fotos con fundidos de %s s no caben en %s s: cada una necesita al menos %s s; usa un --fade "
                 "más corto, menos fotos o más segundos",
                 n, seconds_text(fade_seconds).c_str(), seconds_text(length).c_str(),
                 seconds_text(fade_seconds + MIN_HOLD_SECONDS).c_str());
        fade = fade_seconds;
    }
    // The photographs, each through the encoder's pipeline, and the song, all
    // read before anything is written: a photograph or song that cannot be
    // read leaves no half-made show behind.
    std::vector<std::string> names;
    std::vector<std::vector<uint8_t>> pictures;
    for (int32_t k = 0; k < n; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "datos/f%03d.pcx", k + 1);
        cli::subject = photos[size_t(k)];
        const std::vector<uint8_t> file = cli::read_file(photos[size_t(k)]);
        const picture::Fitted fitted = picture::load_fitted(file, photos[size_t(k)], fit, 320, 240);
        picture::warn_transparency(photos[size_t(k)], fitted.transparency);
        pictures.push_back(encode_pcx_rgb(fitted.pixels.data(), 320, 240));
        names.push_back(name);
        std::printf("%s (%dx%d) -> %s\n", photos[size_t(k)].c_str(), fitted.source_width, fitted.source_height, name);
    }
    cli::subject.clear();

    // The song goes beside them: the show reads its music from the disk.
    std::string extension = cli::extension(song);
    if (extension.empty() || extension.size() > 4)
        extension = "mp3";
    const std::string music = "datos/cancion." + extension;
    const std::vector<uint8_t> song_bytes = cli::read_file(song);

    std::error_code ec;
    fs::create_directories(folder / "datos", ec);
    if (ec)
        fail("no puedo crear %s: %s", (folder / "datos").c_str(), ec.message().c_str());
    for (size_t k = 0; k < names.size(); ++k)
        cli::write_file((folder / names[k]).string(), pictures[k].data(), pictures[k].size());
    cli::write_file((folder / music).string(), song_bytes.data(), song_bytes.size());

    const int32_t records = 2 * n - 1;
    std::string text;
    text += "# A show made by yurn-show new from " + std::to_string(n) + (n == 1 ? " photograph" : " photographs") +
            " and a song.\n"
            "# yurn --show show.toml plays it, yurn --check show.toml prints its timeline;\n"
            "# paths are relative to this file's folder.  Edit it freely: the README's\n"
            "# \"Make your own show\" describes every key.\n";
    text += "version = 1\n";
    fs::path named = fs::absolute(folder).lexically_normal();
    if (named.filename().empty())
        named = named.parent_path();  // "DIR/" names DIR
    text += "title = " + toml_string(named.filename().string()) + "\n";
    text += "exit_code = " + std::to_string(records) + "  # the show ran to its end (Escape ends with 0)\n";
    const std::string end = seconds_text(std::round(length * 1000.0) / 1000.0);
    text += "length = " + end + "\n\n[music]\nfile = " + toml_string(music) + "\n";
    const double music_fade = std::min(MUSIC_FADE_SECONDS, length / 2);
    text += "fade_from = " + seconds_text(std::round((length - music_fade) * 1000.0) / 1000.0) + "\nfade_to = " + end +
            "\n";
    for (int32_t k = 0; k < n; ++k) {
        if (k > 0)
            text += "\n[[stage]]\ntype = \"crossfade\"\nseconds = " + seconds_text(fade) + "\n";
        const double cue = k == n - 1 ? length : interval * (k + 1);
        text += "\n[[stage]]\ntype = \"photo\"\nfile = " + toml_string(names[size_t(k)]) + "\nuntil = " +
                seconds_text(std::round(cue * 1000.0) / 1000.0) + "\n";
    }
    cli::write_file((folder / "show.toml").string(), text.data(), text.size());

    const std::vector<uint8_t> pak = archive_of(names, pictures);
    cli::write_file((folder / "Yurn.pak").string(), pak.data(), pak.size());

    const std::string show = (folder / "show.toml").string();
    std::printf("\nHecho: %s (%d %s, %s s, código de salida %d al terminar)\n", show.c_str(), n,
                n == 1 ? "foto" : "fotos", end.c_str(), records);
    std::printf("  verlo:        yurn --show %s\n", show.c_str());
    std::printf("  comprobarlo:  yurn --check %s\n", show.c_str());
    std::printf("  grabarlo:     yurn --show %s --capture %s\n", show.c_str(), (folder / "video.mp4").c_str());
    std::printf("  publicarlo:   scripts/web.sh --show %s   (una web estática en build-web/site)\n", dir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    cli::init("yurn-show");
    cli::Args args(argc, argv);
    std::string command, a, song;
    std::vector<std::string> operands;
    bool is_option = false;
    double seconds = 0.0, fade = -1.0;
    picture::Fit fit = picture::Fit::crop;
    while (args.next(a, is_option)) {
        cli::answer_help_or_version(args, [](FILE* out) { std::fputs(USAGE, out); });
        if (!is_option) {
            if (command.empty())
                command = a;
            else
                operands.push_back(a);
        } else if (a == "--music" && command == "new") {
            song = args.value(a);
        } else if (a == "--seconds" && command == "new") {
            const std::string v = args.value(a);
            if (!parse_seconds(v, &seconds, false))
                usage_error("--seconds espera segundos mayores que 0 y de un día como mucho, no \"%s\"", v.c_str());
        } else if (a == "--fade" && command == "new") {
            const std::string v = args.value(a);
            if (!parse_seconds(v, &fade, false) || fade < SHOW_MIN_FADE_SECONDS || fade > SHOW_MAX_FADE_SECONDS)
                usage_error("--fade espera los segundos de cada fundido, de %g a %g, no \"%s\"", SHOW_MIN_FADE_SECONDS,
                            SHOW_MAX_FADE_SECONDS, v.c_str());
        } else if (a == "--fit" && command == "new") {
            const std::string f = args.value(a);
            if (f == "crop")
                fit = picture::Fit::crop;
            else if (f == "letterbox")
                fit = picture::Fit::letterbox;
            else
                usage_error("--fit admite crop o letterbox, no \"%s\"", f.c_str());
        } else {
            usage_error("opción desconocida \"%s\"%s%s", a.c_str(), command.empty() ? "" : " para ", command.c_str());
        }
    }
    if (command.empty()) {
        std::fputs(USAGE, stderr);
        return cli::EXIT_USAGE;
    }
    if (command != "new")
        usage_error("orden desconocida \"%s\"", command.c_str());
    if (operands.size() < 2)
        usage_error("new necesita la CARPETA y al menos una FOTO");
    if (operands.size() - 1 > size_t(MAX_PHOTOGRAPHS))
        usage_error("%zu fotos: un espectáculo admite de 1 a %d", operands.size() - 1, MAX_PHOTOGRAPHS);
    if (song.empty())
        usage_error("falta --music CANCIÓN (el MP3 del espectáculo)");
    return make_show(operands[0], std::vector<std::string>(operands.begin() + 1, operands.end()), song, seconds, fit,
                     fade);
}

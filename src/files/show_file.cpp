// The show file reader: TOML text through toml++, then every table and value
// checked against the format, each fault kept with its line and column.
#include "files/show_file.h"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "files/files.h"

namespace {

constexpr double TICK_SECONDS = 0.014;

struct ModeName {
    const char* name;
    uint8_t bit;
};
constexpr ModeName MODE_NAMES[] = {
    {"flat", 0x01}, {"gouraud", 0x02}, {"textured", 0x04}, {"environment", 0x08}, {"additive", 0x10},
};

constexpr const char* KIND_NAMES[] = {"photo", "crossfade", "ceiling", "fadeout", "scene", "standin"};

// The parser's own words, put into Spanish phrase by phrase.
constexpr const char* PARSER_PHRASES[][2] = {
    {"Error while parsing ", "error al leer "},
    {"encountered end-of-file", "el fichero se acaba antes de tiempo"},
    {"expected ", "se esperaba "},
    {", saw ", " y hay "},
    {"saw ", "hay "},
    {"cannot redefine existing ", "no se puede volver a definir "},
    {"as ", "como "},
    {"table", "tabla"},
    {"array", "lista"},
    {"string", "cadena"},
    {"value-terminator", "fin del valor"},
    {"bare keys", "claves sin comillas"},
    {"decimal digit", "dígito decimal"},
    {"key-value pair", "pareja clave = valor"},
    {"key", "clave"},
    {"value", "valor"},
    {"end of file", "fin del fichero"},
    {"line", "línea"},
    {"comma", "coma"},
    {"closing", "cierre"},
    {"invalid", "no válido"},
};

std::string spanish_parser_message(std::string_view english)
{
    std::string out;
    size_t at = 0;
    while (at < english.size()) {
        bool replaced = false;
        for (const auto& phrase : PARSER_PHRASES) {
            const size_t length = std::strlen(phrase[0]);
            if (english.compare(at, length, phrase[0]) == 0) {
                out += phrase[1];
                at += length;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += english[at++];
    }
    return out;
}

// The first byte outside the ASCII range that stands outside a string and a
// comment, where TOML allows none; {0, 0} when there is none.  The parser is
// spared such bytes: its test for non-ASCII white space reaches a point it
// marks unreachable for most code points (undefined behaviour in toml++ 3.3).
ShowPlace stray_non_ascii(std::string_view text)
{
    enum { plain, comment, basic, literal, multi_basic, multi_literal } state = plain;
    int32_t line = 1, column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80)
            column++;
        if (c == '\n') {
            line++;
            column = 0;
            if (state == comment || state == basic || state == literal)
                state = plain;  // a single-line string cut by the line: the parser reports it
            continue;
        }
        const bool triple = i + 2 < text.size() && text[i + 1] == text[i] && text[i + 2] == text[i];
        switch (state) {
        case plain:
            if (c >= 0x80)
                return {line, column};
            if (c == '#')
                state = comment;
            else if (c == '"' || c == '\'') {
                state = triple ? (c == '"' ? multi_basic : multi_literal) : (c == '"' ? basic : literal);
                if (triple)
                    i += 2, column += 2;
            }
            break;
        case comment: break;
        case basic:
            if (c == '\\' && i + 1 < text.size() && text[i + 1] != '\n')
                i++, column++;
            else if (c == '"')
                state = plain;
            break;
        case literal:
            if (c == '\'')
                state = plain;
            break;
        case multi_basic:
            if (c == '\\' && i + 1 < text.size() && text[i + 1] != '\n')
                i++, column++;
            else if (c == '"' && triple)
                state = plain, i += 2, column += 2;
            break;
        case multi_literal:
            if (c == '\'' && triple)
                state = plain, i += 2, column += 2;
            break;
        }
    }
    return {};
}

ShowPlace place_of(const toml::node& node)
{
    const toml::source_region& source = node.source();
    return {int32_t(source.begin.line), int32_t(source.begin.column)};
}

struct Reader {
    std::vector<ShowProblem>* problems;

    __attribute__((format(printf, 3, 4))) void fault(ShowPlace place, const char* format, ...)
    {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        problems->push_back({place, text});
    }
};

// A key outside allowed (a null-terminated list) is a fault naming the keys expected.
void check_keys(Reader& r, const toml::table& table, const char* where, std::initializer_list<const char*> allowed)
{
    for (auto&& [key, node] : table) {
        bool known = false;
        for (const char* name : allowed)
            known = known || key.str() == name;
        if (known)
            continue;
        std::string list;
        for (const char* name : allowed)
            list += (list.empty() ? "" : ", ") + std::string(name);
        r.fault(place_of(node), "clave desconocida \"%.*s\" en %s (se espera una de: %s)", int(key.str().size()),
                key.str().data(), where, list.c_str());
    }
}

// A finite number (integer or decimal) in [low, high].
bool read_number(Reader& r, const toml::node& node, const char* key, double low, double high, double* out)
{
    double value = 0.0;
    if (const auto* i = node.as_integer())
        value = double(i->get());
    else if (const auto* f = node.as_floating_point())
        value = f->get();
    else {
        r.fault(place_of(node), "%s debe ser un número", key);
        return false;
    }
    if (!std::isfinite(value) || value < low || value > high) {
        r.fault(place_of(node), "%s = %g está fuera de límites (se espera de %g a %g)", key, value, low, high);
        return false;
    }
    *out = value;
    return true;
}

bool read_float(Reader& r, const toml::node& node, const char* key, double low, double high, float* out)
{
    double value = 0.0;
    if (!read_number(r, node, key, low, high, &value))
        return false;
    *out = float(value);
    return true;
}

// Seconds from the start of the show: above 0, at most a day.
bool read_seconds(Reader& r, const toml::node& node, const char* key, float* out)
{
    double value = 0.0;
    if (!read_number(r, node, key, 0.0, SHOW_MAX_SECONDS, &value))
        return false;
    if (value <= 0.0) {
        r.fault(place_of(node), "%s debe ser mayor que 0 segundos", key);
        return false;
    }
    *out = float(value);
    return true;
}

bool read_integer(Reader& r, const toml::node& node, const char* key, int64_t low, int64_t high, int64_t* out)
{
    const auto* i = node.as_integer();
    if (!i) {
        r.fault(place_of(node), "%s debe ser un número entero", key);
        return false;
    }
    if (i->get() < low || i->get() > high) {
        r.fault(place_of(node), "%s = %lld está fuera de límites (se espera de %lld a %lld)", key,
                static_cast<long long>(i->get()), static_cast<long long>(low), static_cast<long long>(high));
        return false;
    }
    *out = i->get();
    return true;
}

bool read_colour(Reader& r, const toml::node& node, const char* key, uint32_t* out)
{
    int64_t value = 0;
    if (!read_integer(r, node, key, 0, 0xFFFFFF, &value))
        return false;
    *out = uint32_t(value);
    return true;
}

bool read_bool(Reader& r, const toml::node& node, const char* key, bool* out)
{
    const auto* b = node.as_boolean();
    if (!b) {
        r.fault(place_of(node), "%s debe ser true o false", key);
        return false;
    }
    *out = b->get();
    return true;
}

bool read_text(Reader& r, const toml::node& node, const char* key, std::string* out)
{
    const auto* s = node.as_string();
    if (!s) {
        r.fault(place_of(node), "%s debe ser un texto entre comillas", key);
        return false;
    }
    *out = s->get();
    return true;
}

// A data file's name: not empty, no NUL, no trailing slash.
bool read_path(Reader& r, const toml::node& node, const char* key, std::string* out)
{
    if (!read_text(r, node, key, out))
        return false;
    if (out->empty() || out->find('\0') != std::string::npos || out->back() == '/') {
        r.fault(place_of(node), "%s debe nombrar un fichero (ruta relativa a la carpeta del espectáculo)", key);
        return false;
    }
    return true;
}

// --- motions ---------------------------------------------------------------

struct Cursor {
    std::string_view text;
    size_t at = 0;
    void skip()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            at++;
    }
    bool take(char c)
    {
        skip();
        if (at < text.size() && text[at] == c) {
            at++;
            return true;
        }
        return false;
    }
    bool take_word(const char* word)
    {
        skip();
        const size_t length = std::strlen(word);
        if (text.compare(at, length, word) != 0)
            return false;
        at += length;
        return true;
    }
    bool number(double* out)
    {
        skip();
        const char* first = text.data() + at;
        const char* last = text.data() + text.size();
        if (first == last || !((*first >= '0' && *first <= '9') || *first == '.'))
            return false;
        // The number's characters, then strtod on them alone (the page's C++
        // library has no from_chars for floating point; no locale is set, so
        // the point is the decimal separator).
        size_t length = 0;
        while (first + length < last) {
            const char c = first[length];
            const bool sign_after_exponent =
                (c == '+' || c == '-') && length > 0 && (first[length - 1] == 'e' || first[length - 1] == 'E');
            if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || sign_after_exponent) || length >= 64)
                break;
            length++;
        }
        const std::string digits(first, length);
        char* end = nullptr;
        *out = std::strtod(digits.c_str(), &end);
        if (end != digits.c_str() + digits.size())
            return false;
        at += length;
        return true;
    }
};

// "N*t" or "t" inside sin( ) and cos( ): the frequency.
bool parse_frequency(Cursor& c, double* frequency)
{
    *frequency = 1.0;
    if (c.number(frequency) && !c.take('*'))
        return false;
    return c.take('t');
}

// One term after its sign: N, N*t, t, N*sin(F*t), sin(F*t), and the same with cos.
bool parse_term(Cursor& c, double sign, ShowTerm* term)
{
    double factor = 1.0;
    const bool has_number = c.number(&factor);
    factor *= sign;
    if (has_number && !c.take('*')) {
        *term = {ShowTerm::constant, factor, 0.0};
        return true;
    }
    if (c.take('t')) {
        *term = {ShowTerm::linear, factor, 0.0};
        return true;
    }
    const bool sine = c.take_word("sin");
    if (!sine && !c.take_word("cos"))
        return false;
    double frequency = 0.0;
    if (!c.take('(') || !parse_frequency(c, &frequency) || !c.take(')'))
        return false;
    *term = {sine ? ShowTerm::sine : ShowTerm::cosine, factor, frequency};
    return true;
}

bool parse_motion_text(std::string_view text, ShowMotion* motion)
{
    Cursor c{text};
    double sign = c.take('-') ? -1.0 : 1.0;
    for (;;) {
        ShowTerm term{};
        if (!parse_term(c, sign, &term))
            return false;
        motion->terms.push_back(term);
        if (c.take('+'))
            sign = 1.0;
        else if (c.take('-'))
            sign = -1.0;
        else
            break;
    }
    c.skip();
    return c.at == text.size();
}

bool term_in_bounds(const ShowTerm& term)
{
    const double limit = term.kind == ShowTerm::linear ? SHOW_MAX_RATE : SHOW_MAX_COORDINATE;
    return std::isfinite(term.factor) && std::fabs(term.factor) <= limit && std::isfinite(term.frequency) &&
           std::fabs(term.frequency) <= SHOW_MAX_RATE;
}

bool read_motion(Reader& r, const toml::node& node, const char* key, ShowMotion* motion)
{
    motion->terms.clear();
    if (node.is_number()) {
        double value = 0.0;
        if (!read_number(r, node, key, -SHOW_MAX_COORDINATE, SHOW_MAX_COORDINATE, &value))
            return false;
        motion->terms.push_back({ShowTerm::constant, value, 0.0});
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value);
        motion->text = text;
        return true;
    }
    const auto* s = node.as_string();
    if (!s) {
        r.fault(place_of(node), "%s: cada componente es un número o un texto como \"-190 + 30*sin(0.5*t)\"", key);
        return false;
    }
    motion->text = s->get();
    if (!parse_motion_text(s->get(), motion)) {
        r.fault(place_of(node),
                "%s: \"%s\" no se entiende (se espera una suma de términos N, N*t, N*sin(F*t) o N*cos(F*t))", key,
                motion->text.c_str());
        return false;
    }
    for (const ShowTerm& term : motion->terms)
        if (!term_in_bounds(term)) {
            r.fault(place_of(node), "%s: \"%s\" tiene un número fuera de límites (hasta %g, y %g por segundo)", key,
                    motion->text.c_str(), SHOW_MAX_COORDINATE, SHOW_MAX_RATE);
            return false;
        }
    return true;
}

// A list of exactly three items, each read by one.
template <class F>
bool read_triple(Reader& r, const toml::node& node, const char* key, F one)
{
    const auto* array = node.as_array();
    if (!array || array->size() != 3) {
        r.fault(place_of(node), "%s debe ser una lista de tres valores [x, y, z]", key);
        return false;
    }
    bool ok = true;
    for (size_t k = 0; k < 3; ++k)
        ok = one(*array->get(k), k) && ok;
    return ok;
}

bool read_motion_triple(Reader& r, const toml::node& node, const char* key, ShowMotion* motions)
{
    return read_triple(r, node, key, [&](const toml::node& item, size_t k) { return read_motion(r, item, key, &motions[k]); });
}

bool read_float_triple(Reader& r, const toml::node& node, const char* key, double low, double high, float* values)
{
    return read_triple(r, node, key,
                       [&](const toml::node& item, size_t k) { return read_float(r, item, key, low, high, &values[k]); });
}

// --- tables ----------------------------------------------------------------

bool read_mode(Reader& r, const toml::node& node, uint8_t* mode)
{
    if (node.is_integer()) {
        int64_t value = 0;
        if (!read_integer(r, node, "mode", 0, 31, &value))
            return false;
        *mode = uint8_t(value);
        return true;
    }
    const auto* array = node.as_array();
    if (!array) {
        r.fault(place_of(node), "mode debe ser una lista de nombres (flat, gouraud, textured, environment, additive)");
        return false;
    }
    *mode = 0;
    bool ok = true;
    for (const toml::node& item : *array) {
        const auto* name = item.as_string();
        uint8_t bit = 0;
        for (const ModeName& m : MODE_NAMES)
            if (name && name->get() == m.name)
                bit = m.bit;
        if (!bit) {
            r.fault(place_of(item), "modo desconocido (se espera flat, gouraud, textured, environment o additive)");
            ok = false;
        }
        *mode |= bit;
    }
    return ok;
}

bool ends_with(const std::string& text, const char* suffix)
{
    const size_t length = std::strlen(suffix);
    if (text.size() < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[text.size() - length + i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

void read_object(Reader& r, const toml::table& table, int32_t number, ShowScene& scene)
{
    ShowObject object;
    object.place = place_of(table);
    check_keys(r, table, "un objeto",
               {"mesh", "mode", "two_sided", "colour", "ambient", "diffuse", "specular", "texture", "parent",
                "position", "angles"});
    if (const toml::node* n = table.get("mesh")) {
        object.mesh_place = place_of(*n);
        read_path(r, *n, "mesh", &object.mesh);
    }
    else
        r.fault(object.place, "al objeto %d le falta mesh (el fichero de su malla, .3ds o de texto)", number);
    if (const toml::node* n = table.get("mode"))
        read_mode(r, *n, &object.mode);
    if (const toml::node* n = table.get("two_sided"))
        read_bool(r, *n, "two_sided", &object.two_sided);
    if (const toml::node* n = table.get("colour"))
        read_colour(r, *n, "colour", &object.colour);
    if (const toml::node* n = table.get("ambient"))
        read_float(r, *n, "ambient", 0.0, 16.0, &object.ambient);
    if (const toml::node* n = table.get("diffuse"))
        read_float(r, *n, "diffuse", 0.0, 16.0, &object.diffuse);
    if (const toml::node* n = table.get("specular"))
        read_float(r, *n, "specular", 0.0, 16.0, &object.specular);
    if (const toml::node* n = table.get("texture")) {
        object.texture_place = place_of(*n);
        read_path(r, *n, "texture", &object.texture);
    }
    if ((object.mode & 0x04) && object.texture.empty())
        r.fault(object.place, "el objeto %d tiene el modo textured y le falta texture (un PCX de 256 x 256)", number);
    if (const toml::node* n = table.get("parent")) {
        int64_t parent = 0;
        if (number == 1)
            r.fault(place_of(*n), "el primer objeto no puede tener parent: no hay otro antes");
        else if (read_integer(r, *n, "parent", 1, number - 1, &parent)) {
            object.parent = int32_t(parent);
            if (ends_with(scene.objects[size_t(parent - 1)].mesh, ".3ds"))
                r.fault(place_of(*n), "parent = %lld es un fichero .3ds, cuyas mallas van a la escena: no puede ser padre",
                        static_cast<long long>(parent));
            if (ends_with(object.mesh, ".3ds"))
                r.fault(place_of(*n), "un fichero .3ds no puede tener parent: sus mallas van a la escena");
        }
    }
    if (const toml::node* n = table.get("position"))
        read_motion_triple(r, *n, "position", object.position);
    if (const toml::node* n = table.get("angles"))
        read_motion_triple(r, *n, "angles", object.angles);
    scene.objects.push_back(std::move(object));
}

void read_light(Reader& r, const toml::table& table, ShowScene& scene)
{
    ShowLight light;
    check_keys(r, table, "una luz", {"position", "colour", "attenuation"});
    if (const toml::node* n = table.get("position"))
        read_float_triple(r, *n, "position", -SHOW_MAX_COORDINATE, SHOW_MAX_COORDINATE, light.position);
    if (const toml::node* n = table.get("colour"))
        read_colour(r, *n, "colour", &light.colour);
    if (const toml::node* n = table.get("attenuation")) {
        if (read_float_triple(r, *n, "attenuation", 0.0, SHOW_MAX_COORDINATE, light.attenuation) &&
            !(light.attenuation[0] > 0.0f))
            r.fault(place_of(*n), "attenuation: el primer término (constante) debe ser mayor que 0");
    }
    scene.lights.push_back(light);
}

// The list of tables under key (an array of tables); null with a fault when
// the key holds something else.
const toml::array* tables_under(Reader& r, const toml::table& table, const char* key)
{
    const toml::node* node = table.get(key);
    if (!node)
        return nullptr;
    const toml::array* array = node->as_array();
    if (!array || !array->is_array_of_tables()) {
        r.fault(place_of(*node), "%s debe ser una lista de tablas ([[...%s]])", key, key);
        return nullptr;
    }
    return array;
}

void read_scene(Reader& r, const toml::table& table, ShowScene& scene)
{
    if (const toml::node* n = table.get("background"))
        read_colour(r, *n, "background", &scene.background);
    if (const toml::node* n = table.get("ambient"))
        read_colour(r, *n, "ambient", &scene.ambient);
    // The camera of a scene stage, as the compiled scenes place it unless told.
    scene.camera_position[2].terms = {{ShowTerm::constant, -200.0, 0.0}};
    if (const toml::node* n = table.get("camera")) {
        const toml::table* camera = n->as_table();
        if (!camera) {
            r.fault(place_of(*n), "camera debe ser una tabla { position = [...], angles = [...], fov = 60 }");
        } else {
            check_keys(r, *camera, "la cámara", {"position", "angles", "fov"});
            if (const toml::node* p = camera->get("position"))
                read_motion_triple(r, *p, "position", scene.camera_position);
            if (const toml::node* a = camera->get("angles"))
                read_motion_triple(r, *a, "angles", scene.camera_angles);
            if (const toml::node* f = camera->get("fov")) {
                double fov = 0.0;
                if (read_number(r, *f, "fov", 1.0, 179.0, &fov))
                    scene.fov = float(fov);
            }
        }
    }
    if (const toml::array* objects = tables_under(r, table, "object")) {
        if (objects->size() > size_t(SHOW_MAX_OBJECTS))
            r.fault(place_of(*objects), "una escena tiene como mucho %d objetos", SHOW_MAX_OBJECTS);
        else
            for (size_t k = 0; k < objects->size(); ++k)
                read_object(r, *objects->get(k)->as_table(), int32_t(k + 1), scene);
    }
    if (const toml::array* lights = tables_under(r, table, "light")) {
        if (lights->size() > size_t(SHOW_MAX_LIGHTS))
            r.fault(place_of(*lights), "una escena tiene como mucho %d luces", SHOW_MAX_LIGHTS);
        else
            for (const toml::node& light : *lights)
                read_light(r, *light.as_table(), scene);
    }
    if (scene.objects.empty())
        r.fault(place_of(table), "una escena necesita al menos un objeto ([[stage.object]] con mesh)");
}

void read_stage(Reader& r, const toml::table& table, ShowFile& show)
{
    ShowStage stage;
    stage.place = place_of(table);
    const toml::node* type = table.get("type");
    std::string kind;
    if (!type) {
        r.fault(stage.place, "a la etapa %zu le falta type (photo, crossfade, ceiling, fadeout, scene o standin)",
                show.stages.size() + 1);
        return;
    }
    if (!read_text(r, *type, "type", &kind))
        return;
    bool known = false;
    for (size_t k = 0; k < sizeof KIND_NAMES / sizeof KIND_NAMES[0]; ++k)
        if (kind == KIND_NAMES[k]) {
            stage.kind = ShowKind(k);
            known = true;
        }
    if (!known) {
        r.fault(place_of(*type),
                "tipo de etapa desconocido \"%s\" (se espera photo, crossfade, ceiling, fadeout, scene o standin)",
                kind.c_str());
        return;
    }
    switch (stage.kind) {
    case ShowKind::photo: check_keys(r, table, "una etapa photo", {"type", "file", "until"}); break;
    case ShowKind::crossfade: check_keys(r, table, "una etapa crossfade (termina sola)", {"type", "seconds"}); break;
    case ShowKind::ceiling: check_keys(r, table, "una etapa ceiling (termina sola)", {"type"}); break;
    case ShowKind::fadeout: check_keys(r, table, "una etapa fadeout", {"type", "until"}); break;
    case ShowKind::standin: check_keys(r, table, "una etapa standin", {"type", "until", "early"}); break;
    case ShowKind::scene:
        check_keys(r, table, "una etapa scene",
                   {"type", "until", "background", "ambient", "camera", "object", "light"});
        break;
    }
    if (const toml::node* n = table.get("seconds")) {
        double seconds = 0.0;
        if (read_number(r, *n, "seconds", SHOW_MIN_FADE_SECONDS, SHOW_MAX_FADE_SECONDS, &seconds))
            show_fade_step(seconds, &stage.fade_step, &stage.fade_ticks);
    }
    if (const toml::node* n = table.get("early"))
        read_bool(r, *n, "early", &stage.early);
    if (const toml::node* n = table.get("until")) {
        stage.until_place = place_of(*n);
        stage.has_until = read_seconds(r, *n, "until", &stage.until);
        if (stage.kind == ShowKind::standin && stage.early)
            r.fault(place_of(*n), "una etapa standin con early = true termina sola: sobra until");
    }
    const bool ends_itself =
        stage.kind == ShowKind::crossfade || stage.kind == ShowKind::ceiling || (stage.kind == ShowKind::standin && stage.early);
    if (!ends_itself && !table.get("until"))
        r.fault(stage.place, "a la etapa %zu (%s) le falta until: el segundo, desde el principio, en que termina",
                show.stages.size() + 1, kind.c_str());
    if (stage.kind == ShowKind::photo) {
        if (const toml::node* n = table.get("file")) {
            stage.file_place = place_of(*n);
            read_path(r, *n, "file", &stage.file);
        } else {
            r.fault(stage.place, "a la etapa %zu (photo) le falta file: su foto en PCX de 320 x 240",
                    show.stages.size() + 1);
        }
    }
    if (stage.kind == ShowKind::scene) {
        show.scenes.emplace_back();
        stage.scene = int32_t(show.scenes.size() - 1);
        read_scene(r, table, show.scenes.back());
    }
    show.stages.push_back(std::move(stage));
}

bool reads_next(ShowKind kind) { return kind == ShowKind::crossfade || kind == ShowKind::ceiling; }
bool reads_previous(ShowKind kind) { return kind == ShowKind::crossfade || kind == ShowKind::fadeout; }

// The whole show's rules: neighbours, cues in order, the end.
void check_show(Reader& r, ShowFile& show, const toml::table& root, bool length_given)
{
    const int32_t n = int32_t(show.stages.size());
    for (int32_t i = 0; i < n; ++i) {
        const ShowStage& stage = show.stages[size_t(i)];
        const char* name = show_kind_name(stage.kind);
        if (reads_previous(stage.kind) && i == 0)
            r.fault(stage.place, "una etapa %s necesita otra etapa antes; no puede ser la primera", name);
        if (reads_next(stage.kind) && i == n - 1)
            r.fault(stage.place, "una etapa %s necesita otra etapa después; no puede ser la última", name);
        // Two neighbours that read each other would call each other for ever.
        if (reads_next(stage.kind) && i + 1 < n && reads_previous(show.stages[size_t(i + 1)].kind))
            r.fault(show.stages[size_t(i + 1)].place,
                    "una etapa %s no puede seguir a una %s: cada una leería la imagen de la otra",
                    show_kind_name(show.stages[size_t(i + 1)].kind), name);
    }
    // Cues in order, each after its stage has begun.
    const std::vector<ShowSpan> spans = show_timeline(show);
    for (int32_t i = 0; i < n; ++i) {
        const ShowStage& stage = show.stages[size_t(i)];
        if (stage.has_until && double(stage.until) <= spans[size_t(i)].start + 1e-9)
            r.fault(stage.until_place,
                    "until = %g llega antes de que empiece la etapa %d (a %.3f s): las marcas deben ir en orden, "
                    "cada una después de que acabe lo anterior",
                    double(stage.until), i + 1, spans[size_t(i)].start);
    }
    if (n > 0) {
        const double end = spans.back().end;
        if (length_given && std::fabs(double(show.length) - end) > 0.0005)
            r.fault(place_of(*root.get("length")), "length = %g no coincide con el final que dan las etapas (%.3f s)",
                    double(show.length), end);
        show.length = float(end);
    }
    show.schedule.clear();
    for (const ShowStage& stage : show.stages)
        if (stage.has_until)
            show.schedule.push_back(stage.until);
    show.schedule.insert(show.schedule.end(), show.spare_cues.begin(), show.spare_cues.end());
}

void read_music(Reader& r, const toml::node& node, ShowFile& show)
{
    const toml::table* music = node.as_table();
    if (!music) {
        r.fault(place_of(node), "music debe ser una tabla: [music] file = \"datos/cancion.mp3\"");
        return;
    }
    check_keys(r, *music, "[music]", {"file", "fade_from", "fade_to"});
    if (const toml::node* n = music->get("file")) {
        show.music_place = place_of(*n);
        read_path(r, *n, "file", &show.music);
    } else {
        r.fault(place_of(node), "a [music] le falta file (el MP3)");
    }
    const toml::node* from = music->get("fade_from");
    const toml::node* to = music->get("fade_to");
    if (!from != !to) {
        r.fault(place_of(from ? *from : *to), "fade_from y fade_to van juntos (segundos en que empieza y acaba el "
                                              "desvanecimiento de la música)");
        return;
    }
    if (!from)
        return;
    double a = 0.0, b = 0.0;
    if (!read_number(r, *from, "fade_from", 0.0, SHOW_MAX_SECONDS, &a) ||
        !read_number(r, *to, "fade_to", 0.0, SHOW_MAX_SECONDS, &b))
        return;
    if (b <= a) {
        r.fault(place_of(*to), "fade_to = %g debe ser posterior a fade_from = %g", b, a);
        return;
    }
    show.music_fade_from = float(a);
    show.music_fade_to = float(b);
}

}  // namespace

const char* show_kind_name(ShowKind kind) { return KIND_NAMES[size_t(kind)]; }

std::string format_show_problem(const std::string& name, const ShowProblem& problem)
{
    char place[64] = "";
    if (problem.place.line > 0 && problem.place.column > 0)
        std::snprintf(place, sizeof place, ":%d:%d", problem.place.line, problem.place.column);
    else if (problem.place.line > 0)
        std::snprintf(place, sizeof place, ":%d", problem.place.line);
    return name + place + ": " + problem.message;
}

void show_fade_step(double seconds, float* step, int32_t* ticks)
{
    const int32_t wanted = std::max(1, int32_t(std::lround(seconds / TICK_SECONDS)));
    // Ticks until a weight climbing by s from 0.0 reaches 254, summed in
    // float as the stage's tick does.
    auto ticks_for = [](float s) {
        float weight = 0.0f;
        int32_t n = 0;
        while (weight < 254.0f && n < 1000000) {
            weight = weight + s;
            n++;
        }
        return n;
    };
    float s = wanted == 127 ? 2.0f : float(254.0 / wanted);
    while (ticks_for(s) > wanted)
        s = std::nextafter(s, 1000.0f);
    *step = s;
    *ticks = ticks_for(s);
}

float show_motion_value(const ShowMotion& motion, double t)
{
    double value = 0.0;
    bool first = true;
    // Left to right, in double, as the compiled scenes write their sums.
    for (const ShowTerm& term : motion.terms) {
        double v = term.factor;
        if (term.kind == ShowTerm::linear)
            v = term.factor * t;
        else if (term.kind == ShowTerm::sine)
            v = term.factor * std::sin(term.frequency * t);
        else if (term.kind == ShowTerm::cosine)
            v = term.factor * std::cos(term.frequency * t);
        value = first ? v : value + v;
        first = false;
    }
    return float(value);
}

std::vector<ShowSpan> show_timeline(const ShowFile& show)
{
    std::vector<ShowSpan> spans;
    spans.reserve(show.stages.size());
    double t = 0.0;
    for (const ShowStage& stage : show.stages) {
        double end = t;
        if (stage.has_until)
            end = double(stage.until);
        else if (stage.kind == ShowKind::crossfade)
            end = t + stage.fade_ticks * TICK_SECONDS;
        else if (stage.kind == ShowKind::ceiling)
            end = t + SHOW_CEILING_TICKS * TICK_SECONDS;
        else if (stage.kind == ShowKind::standin && stage.early)
            end = t + SHOW_EARLY_TICKS * TICK_SECONDS;
        spans.push_back({t, end});
        t = end;
    }
    return spans;
}

std::vector<ShowFileUse> show_files_used(const ShowFile& show)
{
    std::vector<ShowFileUse> uses;
    auto add = [&uses](const std::string& path, ShowPlace place, const char* what) {
        for (const ShowFileUse& use : uses)
            if (use.path == path)
                return;
        uses.push_back({path, place, what});
    };
    for (const ShowStage& stage : show.stages) {
        if (stage.kind == ShowKind::photo)
            add(stage.file, stage.file_place, "foto");
        if (stage.kind == ShowKind::scene)
            for (const ShowObject& object : show.scenes[size_t(stage.scene)].objects) {
                add(object.mesh, object.mesh_place, "malla");
                if (!object.texture.empty())
                    add(object.texture, object.texture_place, "textura");
            }
    }
    if (!show.music.empty())
        add(show.music, show.music_place, "música");
    return uses;
}

bool parse_show(const char* name, const char* text, size_t size, ShowFile* show, std::vector<ShowProblem>* problems)
{
    *show = ShowFile{};
    show->name = name;
    const std::string path = name;
    const size_t slash = path.rfind('/');
    show->folder = slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
    const size_t first_problem = problems->size();
    Reader r{problems};
    if (size > SHOW_MAX_FILE_BYTES) {
        r.fault({}, "el fichero mide %zu bytes: más de los %zu que admite un espectáculo", size, SHOW_MAX_FILE_BYTES);
        return false;
    }
    if (const ShowPlace stray = stray_non_ascii(std::string_view(text, size)); stray.line > 0) {
        r.fault(stray, "TOML no válido: fuera de las comillas solo caben caracteres ASCII (los acentos, dentro de un "
                       "texto entre comillas o de un comentario)");
        return false;
    }
    // No source path: each node would hold a shared copy of it, counted atomically.
    toml::parse_result parsed = toml::parse(std::string_view(text, size));
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        r.fault({int32_t(error.source().begin.line), int32_t(error.source().begin.column)}, "TOML no válido: %s",
                spanish_parser_message(error.description()).c_str());
        return false;
    }
    const toml::table& root = parsed.table();
    check_keys(r, root, "el espectáculo",
               {"version", "title", "exit_code", "length", "spare_cues", "music", "stage"});
    if (const toml::node* n = root.get("version")) {
        int64_t version = 0;
        if (read_integer(r, *n, "version", 0, INT32_MAX, &version) && version != SHOW_VERSION)
            r.fault(place_of(*n), "version = %lld: este yurn lee espectáculos de la versión %d",
                    static_cast<long long>(version), SHOW_VERSION);
    } else {
        r.fault({1, 1}, "falta version = %d al principio del fichero", SHOW_VERSION);
    }
    if (const toml::node* n = root.get("title"))
        read_text(r, *n, "title", &show->title);
    if (const toml::node* n = root.get("exit_code")) {
        int64_t code = 0;
        if (read_integer(r, *n, "exit_code", 0, 255, &code))
            show->exit_code = int32_t(code);
    }
    const toml::node* length = root.get("length");
    if (length && !read_seconds(r, *length, "length", &show->length))
        length = nullptr;
    if (const toml::node* n = root.get("spare_cues")) {
        const toml::array* cues = n->as_array();
        if (!cues)
            r.fault(place_of(*n), "spare_cues debe ser una lista de segundos");
        else if (cues->size() > size_t(SHOW_MAX_SPARE_CUES))
            r.fault(place_of(*n), "spare_cues tiene %zu marcas: como mucho %d", cues->size(), SHOW_MAX_SPARE_CUES);
        else
            for (const toml::node& cue : *cues) {
                float seconds = 0.0f;
                if (read_seconds(r, cue, "spare_cues", &seconds))
                    show->spare_cues.push_back(seconds);
            }
    }
    if (const toml::node* n = root.get("music"))
        read_music(r, *n, *show);
    const toml::node* stages = root.get("stage");
    const toml::array* list = stages ? stages->as_array() : nullptr;
    if (!stages)
        r.fault({1, 1}, "el espectáculo no tiene ninguna etapa ([[stage]])");
    else if (list && list->empty())
        r.fault(place_of(*stages), "el espectáculo no tiene ninguna etapa ([[stage]])");
    else if (!list || !list->is_array_of_tables())
        r.fault(place_of(*stages), "stage debe ser una lista de tablas ([[stage]])");
    else if (list->size() > size_t(SHOW_MAX_STAGES))
        r.fault(place_of(*stages), "el espectáculo tiene %zu etapas: como mucho %d", list->size(), SHOW_MAX_STAGES);
    else {
        show->stages.reserve(list->size());
        for (const toml::node& stage : *list)
            read_stage(r, *stage.as_table(), *show);
    }
    // An exit code is a byte: past 255 records the default would wrap.
    if (show->exit_code < 0 && show->stages.size() > 255)
        r.fault({1, 1}, "con %zu etapas hace falta exit_code (de 0 a 255): el número de etapas no cabe en un código de "
                        "salida",
                show->stages.size());
    // The rules between stages only mean something once each stage is sound.
    if (problems->size() == first_problem)
        check_show(r, *show, root, length != nullptr);
    return problems->size() == first_problem;
}

bool read_show_file(const char* path, ShowFile* show, std::vector<ShowProblem>* problems)
{
    File file(std::fopen(path, "rb"));
    if (!file) {
        problems->push_back({{}, std::string("no puedo abrir el espectáculo: ") + system_reason(errno)});
        return false;
    }
    std::vector<uint8_t> bytes;
    errno = 0;
    if (!read_to_end(file.get(), bytes)) {
        problems->push_back({{}, std::string("no puedo leer el espectáculo: ") + system_reason(errno ? errno : EIO)});
        return false;
    }
    return parse_show(path, reinterpret_cast<const char*>(bytes.data()), bytes.size(), show, problems);
}

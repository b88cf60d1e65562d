// The engine's text mesh format: vertex count, face count, positions (Z up,
// read as X, -Z, Y), faces as vertex indices and, while the current texture
// size is non-zero, three (s, t) pairs per face.  Both readers scan number by
// number over any whitespace, the way scanf's "%d" and "%f" do, so layout and
// line ends do not matter and the same text gives the same Object.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display/error.h"
#include "engine/engine.h"
#include "engine/engine_local.h"
#include "files/files.h"

namespace {

// A bounded reader over zero-terminated text: data[size] is '\0', so the
// C conversions stop at the end whatever a token holds.
struct TextReader {
    const char* p;
    const char* end;
    const char* name;  // the file named in messages
};

// Whitespace as scanf skips it (isspace in the C locale).
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next whitespace-free run of bytes; [token, token_end).
const char* next_token(TextReader& r, const char** token_end)
{
    while (r.p < r.end && is_space(*r.p))
        ++r.p;
    if (r.p == r.end)
        fatal_error("El archivo \"%s\" está incompleto: falta un número", r.name);
    const char* token = r.p;
    while (r.p < r.end && !is_space(*r.p))
        ++r.p;
    *token_end = r.p;
    return token;
}

// The first 32 bytes of a token as a message shows them: control bytes,
// DEL, bytes above 0x7F, the backslash and the quote as \xNN, so a binary
// file cannot write to the terminal through the message.
std::string shown_token(const char* token, const char* token_end)
{
    std::string shown;
    for (const char* c = token; c < token_end && c < token + 32; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            shown.push_back(char(byte));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        }
    }
    return shown;
}

[[noreturn]] void malformed(const TextReader& r, const char* token, const char* token_end)
{
    fatal_error("El archivo \"%s\" tiene un número mal escrito: \"%s\"", r.name,
                shown_token(token, token_end).c_str());
}

// An integer as "%d" reads it; the whole token must be the number.
int32_t read_int(TextReader& r)
{
    const char* token_end;
    const char* token = next_token(r, &token_end);
    char* stop;
    errno = 0;
    const long value = std::strtol(token, &stop, 10);
    if (stop != token_end || stop == token || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        malformed(r, token, token_end);
    return static_cast<int32_t>(value);
}

// The value of a token of plain decimal digits ("-12.345", "7", ".5"), or
// false when the token is anything else or too long for this way, which then
// leaves it to strtof.  With the digits below 2^24 and at most ten of them
// after the point, both the digits and the power of ten are exact floats, so
// one float division rounds their quotient correctly, as strtof rounds the
// decimal: the same float, at a fraction of strtof's cost (a mesh is tens of
// thousands of such numbers).
bool plain_decimal(const char* token, const char* token_end, float* value)
{
    static constexpr float POWERS_OF_TEN[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    const char* c = token;
    const bool negative = c < token_end && *c == '-';
    if (c < token_end && (*c == '-' || *c == '+'))
        ++c;
    uint32_t digits = 0;
    int32_t digit_count = 0, after_point = 0;
    bool point = false;
    for (; c < token_end; ++c) {
        if (*c >= '0' && *c <= '9') {
            digits = digits * 10 + uint32_t(*c - '0');
            if (digits >= (1u << 24))
                return false;
            digit_count++;
            after_point += point;
        } else if (*c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    if (digit_count == 0 || after_point > 10)
        return false;
    const float magnitude = static_cast<float>(digits) / POWERS_OF_TEN[after_point];
    *value = negative ? -magnitude : magnitude;
    return true;
}

// A float as "%f" reads it (decimal, exponent, hex, inf, nan); overflow gives
// infinity and underflow zero, as the conversion does.  "nan(...)" is refused:
// strtof takes the brackets as a payload, "%f" stops before them and fails on
// the next number.
float read_float(TextReader& r)
{
    const char* token_end;
    const char* token = next_token(r, &token_end);
    float value;
    if (plain_decimal(token, token_end, &value))
        return value;
    char* stop;
    value = std::strtof(token, &stop);
    if (stop != token_end || stop == token || std::memchr(token, '(', size_t(token_end - token)))
        malformed(r, token, token_end);
    return value;
}

Object* parse_text(TextReader& r)
{
    const int32_t nv = read_int(r);
    const int32_t nf = read_int(r);
    if (nv < 0 || nf < 0)
        fatal_error("El archivo \"%s\" tiene un número de vértices o planos negativo (%d, %d)", r.name, nv, nf);
    const bool textured = current_texture_size != 0;
    // Sizes are checked before anything is allocated: first against memory,
    // then against the text, where each number left needs a separator and a
    // digit at least.
    if (!object_arrays_fit(uint64_t(nv), uint64_t(nf)))
        fatal_error("Error reservando memoria para vértices o planos");
    const uint64_t numbers = 3 * uint64_t(nv) + (textured ? 9 : 3) * uint64_t(nf);
    if (numbers > uint64_t(r.end - r.p) / 2)
        fatal_error("El archivo \"%s\" está incompleto: falta un número", r.name);

    ObjectPtr object(create_object(uint32_t(nv), uint32_t(nf)));
    object->texture_size = current_texture_size;

    for (int32_t i = 0; i < nv; ++i) {
        Vector& p = object->vertices[i].position;
        p.x = read_float(r);
        p.z = read_float(r);
        p.y = read_float(r);
        p.y = -p.y;
    }
    for (int32_t i = 0; i < nf; ++i) {
        for (Vertex*& corner : object->faces[i].vertices) {
            const int32_t index = read_int(r);
            if (index < 0 || index >= nv)
                fatal_error("El archivo \"%s\" tiene un plano con un vértice fuera de rango (%d de %d)", r.name,
                            index, nv);
            corner = &object->vertices[index];
        }
    }
    // Without a texture size the faces keep uv zero (create_object clears them).
    if (object->texture_size != 0) {
        const double t1 = static_cast<uint32_t>(object->texture_size) - 1u;
        for (int32_t i = 0; i < nf; ++i) {
            float* uv = object->faces[i].uv;
            for (int k = 0; k < 3; ++k) {
                const float s = read_float(r);
                const float t = read_float(r);
                uv[2 * k] = static_cast<float>(t1 * s);
                uv[2 * k + 1] = static_cast<float>(t1 * (1.0 - t));
            }
        }
    }
    finish_object(object.get());
    return object.release();
}

}  // namespace

Object* parse_object_bytes(const char* data, size_t size, const char* name)
{
    // A terminated copy, so the conversions cannot run past the last byte.
    std::string text(data, size);
    TextReader r = { text.data(), text.data() + text.size(), name };
    return parse_text(r);
}

Object* parse_object(const char* text)
{
    TextReader r = { text, text + std::strlen(text), "(texto)" };
    return parse_text(r);
}

Object* load_object(const char* file_name)
{
    File file(open_data_file(file_name, "r"));
    if (!file)
        fatal_error("No puedo abrir el archivo \"%s\"", file_name);
    // The stream runs to the end of the file (or of the archive); the reader
    // takes only the numbers it needs, as scanf on the stream would.
    std::string text;
    char block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file.get())) > 0)
        text.append(block, got);
    file.reset();
    TextReader r = { text.data(), text.data() + text.size(), file_name };
    return parse_text(r);
}

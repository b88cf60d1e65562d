// The text mesh format through both readers: the example triangle in every
// layout, axis and texture mapping, the texture size, and every rejection.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "test_support.h"

namespace {

const char* const TRIANGLE_CRLF = "3\r\n1\r\n0 0 0\r\n10 0 0\r\n0 0 10\r\n0 1 2\r\n0 0 1 0 0 1\r\n";
const char* const TRIANGLE_LF = "3\n1\n0 0 0\n10 0 0\n0 0 10\n0 1 2\n0 0 1 0 0 1\n";
const char* const TRIANGLE_ONE_LINE = "3 1 0 0 0 10 0 0 0 0 10 0 1 2 0 0 1 0 0 1";

std::string write_temp(const std::string& name, const std::string& content)
{
    const std::string path = std::string(YURN_BINARY_DIR) + "/test_engine_text_" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_TRUE(f);
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    return path;
}

// Sets the engine's current texture size for one test and puts it back.
struct TextureSize {
    int32_t saved = current_texture_size;
    explicit TextureSize(int32_t size) { current_texture_size = size; }
    ~TextureSize() { current_texture_size = saved; }
};

void expect_same_object(const Object* a, const Object* b)
{
    ASSERT_EQ(a->vertex_count, b->vertex_count);
    ASSERT_EQ(a->face_count, b->face_count);
    for (uint32_t i = 0; i < a->vertex_count; ++i) {
        EXPECT_EQ(a->vertices[i].position.x, b->vertices[i].position.x);
        EXPECT_EQ(a->vertices[i].position.y, b->vertices[i].position.y);
        EXPECT_EQ(a->vertices[i].position.z, b->vertices[i].position.z);
        EXPECT_EQ(a->vertices[i].normal.z, b->vertices[i].normal.z);
    }
    for (uint32_t i = 0; i < a->face_count; ++i) {
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(a->faces[i].vertices[k] - a->vertices, b->faces[i].vertices[k] - b->vertices);
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(a->faces[i].uv[k], b->faces[i].uv[k]);
    }
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(a->bounds[k], b->bounds[k]);
}

void expect_triangle(const Object* o)
{
    ASSERT_EQ(o->vertex_count, 3u);
    ASSERT_EQ(o->face_count, 1u);
    const float expected[3][3] = { { 0, 0, 0 }, { 10, 0, 0 }, { 0, -10, 0 } };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(o->vertices[i].position.x, expected[i][0]);
        EXPECT_EQ(o->vertices[i].position.y, expected[i][1]);
        EXPECT_EQ(o->vertices[i].position.z, expected[i][2]);
        EXPECT_EQ(o->faces[0].vertices[i], &o->vertices[i]);
    }
    const float uv[6] = { 0, 255, 255, 255, 0, 0 };
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(o->faces[0].uv[k], uv[k]) << "uv " << k;
    EXPECT_EQ(o->texture_size, 256);
    EXPECT_EQ(o->mode, MODE_GOURAUD);
    // Wound towards -z: seen from the viewer's side.
    EXPECT_EQ(o->faces[0].normal.z, -1.0f);
}

}  // namespace

TEST(TextMesh, ExampleTriangleInEveryLayoutThroughBothReaders)
{
    TextureSize size(256);
    ObjectPtr reference(parse_object(TRIANGLE_CRLF));
    expect_triangle(reference.get());
    for (const char* text : { TRIANGLE_CRLF, TRIANGLE_LF, TRIANGLE_ONE_LINE, "\t 3 1 0 0 0 10 0 0 0 0 10 0 1 2 0 0 1 0 0 1" }) {
        SCOPED_TRACE(text);
        ObjectPtr parsed(parse_object(text));
        expect_same_object(reference.get(), parsed.get());
        ObjectPtr loaded(load_object(write_temp("triangle.txt", text).c_str()));
        expect_same_object(reference.get(), loaded.get());
    }
}

// Every decimal a mesh may hold reads as the C library's strtof reads it, bit
// for bit (signed zeros too): short ones, long ones, digits at and past 2^24,
// up to twelve after the point, with and without sign, point or leading digit.
TEST(TextMesh, DecimalsReadAsStrtofReadsThem)
{
    TextureSize size(0);
    std::vector<std::string> numbers = {"0", "-0", "+0", "-0.000", ".5", "5.", "-.25", "+7.", "16777215",
                                        "16777216", "16777217", "1677721.5", "1.6777215", "-167772.17",
                                        "0.0000000001", "0.00000000001", "9999999.9", "23.20000", "-6.23538",
                                        "0000000000000012.5", "3.4028235", "1.17549435", "0.1", "0.3"};
    std::mt19937 random(7);
    for (int32_t i = 0; i < 30000; ++i) {
        std::string n;
        if (random() % 4 == 0)
            n += random() % 2 ? "-" : "+";
        const uint32_t before = random() % 9, after = random() % 13;
        for (uint32_t k = 0; k < before; ++k)
            n += char('0' + random() % 10);
        if (after > 0 || random() % 3 == 0)
            n += '.';
        for (uint32_t k = 0; k < after; ++k)
            n += char('0' + random() % 10);
        if (before == 0 && after == 0)
            n += '1';
        numbers.push_back(n);
    }
    while (numbers.size() % 3 != 0)
        numbers.push_back("1");
    std::string text = std::to_string(numbers.size() / 3) + " 0";
    for (const std::string& n : numbers)
        text += (random() % 2 ? "\n" : " ") + n;
    ObjectPtr object(parse_object(text.c_str()));
    ASSERT_EQ(object->vertex_count, numbers.size() / 3);
    for (size_t i = 0; i < numbers.size(); ++i) {
        // Positions are read as x, z, y, and y is negated.
        const Vector& p = object->vertices[i / 3].position;
        const float got = i % 3 == 0 ? p.x : i % 3 == 1 ? p.z : -p.y;
        const float expected = std::strtof(numbers[i].c_str(), nullptr);
        uint32_t got_bits, expected_bits;
        std::memcpy(&got_bits, &got, sizeof got);
        std::memcpy(&expected_bits, &expected, sizeof expected);
        ASSERT_EQ(got_bits, expected_bits) << numbers[i];
    }
}

TEST(TextMesh, AxisAndTextureMapping)
{
    TextureSize size(256);
    ObjectPtr o(parse_object("3 1\n1 2 3\n0 0 0\n4 5 6\n0 1 2\n0 0 1 1 0.5 0.5\n"));
    EXPECT_EQ(o->vertices[0].position.x, 1.0f);
    EXPECT_EQ(o->vertices[0].position.y, -3.0f);
    EXPECT_EQ(o->vertices[0].position.z, 2.0f);
    const float uv[6] = { 0, 255, 255, 0, 127.5f, 127.5f };
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(o->faces[0].uv[k], uv[k]) << "uv " << k;

    // Numbers in every form "%f" takes.
    ObjectPtr forms(parse_object("1 0 +1.5e1 -0x1p2 .25"));
    EXPECT_EQ(forms->vertices[0].position.x, 15.0f);
    EXPECT_EQ(forms->vertices[0].position.z, -4.0f);
    EXPECT_EQ(forms->vertices[0].position.y, -0.25f);
}

TEST(TextMesh, TextureSizeZeroSkipsTheTextureBlock)
{
    TextureSize size(0);
    ObjectPtr o(parse_object("3 1 0 0 0 1 0 0 0 0 1 0 1 2"));
    EXPECT_EQ(o->texture_size, 0);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(o->faces[0].uv[k], 0.0f);
    // With a size of 1, T - 1 = 0 maps every coordinate to 0.
    current_texture_size = 1;
    ObjectPtr one(parse_object("3 1 0 0 0 1 0 0 0 0 1 0 1 2 0.5 0.5 1 1 0 0"));
    EXPECT_EQ(one->faces[0].uv[1], 0.0f);
}

TEST(TextMesh, EmptyObject)
{
    ObjectPtr o(parse_object("0\r\n0\r\n"));
    EXPECT_EQ(o->vertex_count, 0u);
    EXPECT_EQ(o->bounds[MIN_Y], 16777216.0f);
    EXPECT_EQ(o->bounds[MAX_Y], -16777216.0f);
}

TEST(TextMeshRejects, MissingFile)
{
    EXPECT_EQ(fatal_message_of([] { load_object("tests/data/engine/no-such-mesh.txt"); }),
              "No puedo abrir el archivo \"tests/data/engine/no-such-mesh.txt\"");
}

TEST(TextMeshRejects, AFolderIsNotAMesh)
{
    // Read as a mesh, a folder gives no text at all: say what it is instead.
    EXPECT_EQ(fatal_message_of([] { load_object("tests/data"); }),
              "No puedo leer \"tests/data\": es una carpeta, no un fichero");
}

TEST(TextMeshRejects, NegativeCountsAndIndicesOutOfRange)
{
    EXPECT_EQ(fatal_message_of([] { parse_object("-1 0"); }),
              "El archivo \"(texto)\" tiene un número de vértices o planos negativo (-1, 0)");
    EXPECT_EQ(fatal_message_of([] { parse_object("0 -3"); }),
              "El archivo \"(texto)\" tiene un número de vértices o planos negativo (0, -3)");
    EXPECT_EQ(fatal_message_of([] { parse_object("3 1 0 0 0 1 0 0 0 0 1 0 1 3 0 0 0 0 0 0"); }),
              "El archivo \"(texto)\" tiene un plano con un vértice fuera de rango (3 de 3)");
    EXPECT_EQ(fatal_message_of([] { parse_object("3 1 0 0 0 1 0 0 0 0 1 -1 1 2 0 0 0 0 0 0"); }),
              "El archivo \"(texto)\" tiene un plano con un vértice fuera de rango (-1 de 3)");
    const std::string path = write_temp("bad_index.txt", "1 1 0 0 0 0 0 7 0 0 0 0 0 0");
    EXPECT_EQ(fatal_message_of([&] { load_object(path.c_str()); }),
              "El archivo \"" + path + "\" tiene un plano con un vértice fuera de rango (7 de 1)");
}

TEST(TextMeshRejects, MissingAndMalformedNumbers)
{
    TextureSize size(256);
    const std::string missing = "El archivo \"(texto)\" está incompleto: falta un número";
    EXPECT_EQ(fatal_message_of([] { parse_object(""); }), missing);
    EXPECT_EQ(fatal_message_of([] { parse_object("3\r\n"); }), missing);
    // The texture block is required while the texture size is non-zero.
    EXPECT_EQ(fatal_message_of([] { parse_object("3 1 0 0 0 1 0 0 0 0 1 0 1 2 0 0 1 0 0"); }), missing);
    // A count the text cannot hold is found before anything is allocated.
    EXPECT_EQ(fatal_message_of([] { parse_object("10000000 0 1 2 3"); }), missing);
    // A count too large for memory keeps the memory message.
    EXPECT_EQ(fatal_message_of([] { parse_object("2147483647 0 1 2 3"); }),
              "Error reservando memoria para vértices o planos");

    EXPECT_EQ(fatal_message_of([] { parse_object("3 1 0 0 0 1 0 0 0 0 1x 0 1 2 0 0 0 0 0 0"); }),
              "El archivo \"(texto)\" tiene un número mal escrito: \"1x\"");
    EXPECT_EQ(fatal_message_of([] { parse_object("3 1.5"); }),
              "El archivo \"(texto)\" tiene un número mal escrito: \"1.5\"");
    EXPECT_EQ(fatal_message_of([] { parse_object("99999999999 0"); }),
              "El archivo \"(texto)\" tiene un número mal escrito: \"99999999999\"");
    EXPECT_EQ(fatal_message_of([] { parse_object("1 0 0 - 0"); }),
              "El archivo \"(texto)\" tiene un número mal escrito: \"-\"");
    EXPECT_EQ(fatal_message_of([] { parse_object("1 0 0 nan(12) 0"); }),
              "El archivo \"(texto)\" tiene un número mal escrito: \"nan(12)\"");
    // A zero byte inside a file is part of a token, not its end; it is
    // shown escaped, as every control byte is: a binary file must not write
    // to the terminal through the message (an escape sequence here).
    const std::string with_zero("1 0 0 0\0 0", 10);
    EXPECT_EQ(fatal_message_of([&] { parse_object_bytes(with_zero.data(), with_zero.size(), "m.txt"); }),
              "El archivo \"m.txt\" tiene un número mal escrito: \"0\\x00\"");
    const std::string binary("1 0 0 \x1b[2J\x07\x7f\xff\\\" 0");
    EXPECT_EQ(fatal_message_of([&] { parse_object_bytes(binary.data(), binary.size(), "b.txt"); }),
              "El archivo \"b.txt\" tiene un número mal escrito: \"\\x1B[2J\\x07\\x7F\\xFF\\x5C\\x22\"");
    // Only the first 32 bytes of a long token are shown.
    EXPECT_EQ(fatal_message_of([] { parse_object(("1 " + std::string(40, 'z')).c_str()); }),
              "El archivo \"(texto)\" tiene un número mal escrito: \"" + std::string(32, 'z') + "\"");
    const std::string truncated = write_temp("truncated.txt", "3\r\n1\r\n0 0 0\r\n10 0");
    EXPECT_EQ(fatal_message_of([&] { load_object(truncated.c_str()); }),
              "El archivo \"" + truncated + "\" está incompleto: falta un número");
}

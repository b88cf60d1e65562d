// A small, fast PNG writer for captured frames: RGB, 8 bits per channel, the
// Paeth filter on every row, and one deflate block of Huffman-coded literals
// and runs (matches at distance 1).  Photographs gain little from longer
// matches, so this is near a general deflater's size at a fraction of its time.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <queue>
#include <vector>

#include "capture/capture.h"

namespace {

// --- CRC-32 and Adler-32 ---------------------------------------------------

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> CRC_TABLE = make_crc_table();

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0)
{
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = CRC_TABLE[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t adler32(const uint8_t* data, size_t size)
{
    uint32_t a = 1, b = 0;
    while (size > 0) {
        // 5552 bytes is the most that can be summed before b may pass 2^32.
        const size_t chunk = std::min<size_t>(size, 5552);
        for (size_t i = 0; i < chunk; ++i) {
            a += data[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        data += chunk;
        size -= chunk;
    }
    return b << 16 | a;
}

// --- Bit writer, least significant bit first as deflate wants ---------------

struct Bits {
    std::vector<uint8_t>& out;
    uint64_t buffer = 0;
    int32_t count = 0;
    void put(uint32_t value, int32_t bits)
    {
        buffer |= uint64_t(value) << count;
        count += bits;
        while (count >= 8) {
            out.push_back(uint8_t(buffer));
            buffer >>= 8;
            count -= 8;
        }
    }
    void flush()
    {
        if (count > 0)
            out.push_back(uint8_t(buffer));
        buffer = 0;
        count = 0;
    }
};

// --- Huffman code lengths, limited to max_bits ------------------------------

// Builds Huffman code lengths for freq; symbols with frequency 0 get length 0.
// When the tree is deeper than max_bits, the frequencies are halved (keeping
// every used symbol at least 1) and the tree built again.  At least two
// symbols must be used, so the code is always complete.
std::vector<uint8_t> code_lengths(std::vector<uint32_t> freq, int32_t max_bits)
{
    const size_t n = freq.size();
    std::vector<uint8_t> lengths(n, 0);
    for (;;) {
        struct Node {
            uint64_t weight;
            int32_t left, right;  // children, -1 for a leaf
            int32_t symbol;
        };
        std::vector<Node> nodes;
        using Item = std::pair<uint64_t, int32_t>;  // weight, node; ties broken by node index
        std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
        for (size_t s = 0; s < n; ++s) {
            if (freq[s] == 0)
                continue;
            nodes.push_back({freq[s], -1, -1, int32_t(s)});
            queue.push({freq[s], int32_t(nodes.size() - 1)});
        }
        while (queue.size() > 1) {
            const Item a = queue.top();
            queue.pop();
            const Item b = queue.top();
            queue.pop();
            nodes.push_back({a.first + b.first, a.second, b.second, -1});
            queue.push({a.first + b.first, int32_t(nodes.size() - 1)});
        }
        // Depths by walking from the root.
        std::fill(lengths.begin(), lengths.end(), 0);
        int32_t deepest = 0;
        std::vector<std::pair<int32_t, int32_t>> stack = {{int32_t(nodes.size() - 1), 0}};
        while (!stack.empty()) {
            const auto [node, depth] = stack.back();
            stack.pop_back();
            if (nodes[node].left < 0) {
                lengths[nodes[node].symbol] = uint8_t(depth);
                deepest = std::max(deepest, depth);
            } else {
                stack.push_back({nodes[node].left, depth + 1});
                stack.push_back({nodes[node].right, depth + 1});
            }
        }
        if (deepest <= max_bits)
            return lengths;
        for (uint32_t& f : freq)
            if (f > 0)
                f = (f + 1) / 2;
    }
}

// Canonical codes for the lengths, bit-reversed for writing LSB first.
std::vector<uint16_t> canonical_codes(const std::vector<uint8_t>& lengths)
{
    uint16_t count[16] = {};
    for (uint8_t l : lengths)
        count[l]++;
    count[0] = 0;
    uint16_t next[16] = {};
    uint16_t code = 0;
    for (int32_t bits = 1; bits < 16; ++bits) {
        code = uint16_t((code + count[bits - 1]) << 1);
        next[bits] = code;
    }
    std::vector<uint16_t> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); ++s) {
        const int32_t l = lengths[s];
        if (l == 0)
            continue;
        uint16_t c = next[l]++, reversed = 0;
        for (int32_t i = 0; i < l; ++i) {
            reversed = uint16_t(reversed << 1 | (c & 1));
            c >>= 1;
        }
        codes[s] = reversed;
    }
    return codes;
}

// --- Deflate ----------------------------------------------------------------

constexpr int32_t MIN_RUN = 4;    // shorter repeats cost more as a match than as literals
constexpr int32_t MAX_RUN = 258;

// Length symbols 257..285: base lengths and extra bits.
constexpr uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

int32_t length_symbol(int32_t length)
{
    int32_t i = 28;
    while (LENGTH_BASE[i] > length)
        --i;
    return i;
}

// One token: a literal byte (length 0) or a run of `length` copies of the
// byte before (distance 1).
struct Token {
    uint16_t length;
    uint8_t literal;
};

void deflate(const std::vector<uint8_t>& data, std::vector<uint8_t>& out)
{
    std::vector<Token> tokens;
    tokens.reserve(data.size());
    std::vector<uint32_t> lit_freq(286, 0), dist_freq(30, 0);
    for (size_t i = 0; i < data.size();) {
        int32_t run = 0;
        if (i > 0) {
            const uint8_t previous = data[i - 1];
            while (run < MAX_RUN && i + size_t(run) < data.size() && data[i + size_t(run)] == previous)
                ++run;
        }
        if (run >= MIN_RUN) {
            tokens.push_back({uint16_t(run), 0});
            lit_freq[257 + length_symbol(run)]++;
            dist_freq[0]++;
            i += size_t(run);
        } else {
            tokens.push_back({0, data[i]});
            lit_freq[data[i]]++;
            ++i;
        }
    }
    lit_freq[256] = 1;
    // Two distance codes always, so their code is complete even when no run
    // was found or only distance 1 is used.
    dist_freq[0] = std::max<uint32_t>(dist_freq[0], 1);
    dist_freq[1] = 1;
    const std::vector<uint8_t> lit_len = code_lengths(lit_freq, 15);
    const std::vector<uint8_t> dist_len = code_lengths(dist_freq, 15);
    const std::vector<uint16_t> lit_code = canonical_codes(lit_len);
    const std::vector<uint16_t> dist_code = canonical_codes(dist_len);

    int32_t hlit = 286;
    while (hlit > 257 && lit_len[size_t(hlit - 1)] == 0)
        --hlit;
    int32_t hdist = 30;
    while (hdist > 1 && dist_len[size_t(hdist - 1)] == 0)
        --hdist;
    // The code lengths themselves, sent with the code-length code (plain
    // lengths 0..15, no repeat codes).
    std::vector<uint8_t> all_lengths(lit_len.begin(), lit_len.begin() + hlit);
    all_lengths.insert(all_lengths.end(), dist_len.begin(), dist_len.begin() + hdist);
    std::vector<uint32_t> cl_freq(19, 0);
    for (uint8_t l : all_lengths)
        cl_freq[l]++;
    // At least two used symbols, so the code-length code is complete too.
    if (std::count_if(cl_freq.begin(), cl_freq.end(), [](uint32_t f) { return f > 0; }) < 2)
        cl_freq[cl_freq[0] ? 1 : 0]++;
    const std::vector<uint8_t> cl_len = code_lengths(cl_freq, 7);
    const std::vector<uint16_t> cl_code = canonical_codes(cl_len);
    constexpr uint8_t CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int32_t hclen = 19;
    while (hclen > 4 && cl_len[CL_ORDER[hclen - 1]] == 0)
        --hclen;

    Bits bits{out};
    bits.put(1, 1);  // last block
    bits.put(2, 2);  // dynamic Huffman codes
    bits.put(uint32_t(hlit - 257), 5);
    bits.put(uint32_t(hdist - 1), 5);
    bits.put(uint32_t(hclen - 4), 4);
    for (int32_t i = 0; i < hclen; ++i)
        bits.put(cl_len[CL_ORDER[i]], 3);
    for (uint8_t l : all_lengths)
        bits.put(cl_code[l], cl_len[l]);
    for (const Token& t : tokens) {
        if (t.length == 0) {
            bits.put(lit_code[t.literal], lit_len[t.literal]);
        } else {
            const int32_t s = length_symbol(t.length);
            bits.put(lit_code[size_t(257 + s)], lit_len[size_t(257 + s)]);
            if (LENGTH_EXTRA[s])
                bits.put(uint32_t(t.length - LENGTH_BASE[s]), LENGTH_EXTRA[s]);
            bits.put(dist_code[0], dist_len[0]);
        }
    }
    bits.put(lit_code[256], lit_len[256]);
    bits.flush();
}

void put_be32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void put_chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    put_be32(out, uint32_t(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, crc32(out.data() + start, out.size() - start));
}

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c)
{
    const int32_t p = int32_t(a) + b - c;
    const int32_t pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

}  // namespace

void png_encode_rgb(const uint8_t* rgb, int32_t width, int32_t height, std::vector<uint8_t>& out)
{
    out.clear();
    static constexpr uint8_t SIGNATURE[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    out.insert(out.end(), SIGNATURE, SIGNATURE + 8);
    std::vector<uint8_t> header;
    put_be32(header, uint32_t(width));
    put_be32(header, uint32_t(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, adaptive filters, no interlace
    put_chunk(out, "IHDR", header);

    // Every row with the Paeth filter (type 4).
    const size_t stride = size_t(width) * 3;
    std::vector<uint8_t> filtered((stride + 1) * size_t(height));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb + stride * size_t(y);
        const uint8_t* up = y > 0 ? row - stride : nullptr;
        uint8_t* dst = filtered.data() + (stride + 1) * size_t(y);
        dst[0] = 4;
        for (size_t x = 0; x < stride; ++x) {
            const uint8_t a = x >= 3 ? row[x - 3] : 0;
            const uint8_t b = up ? up[x] : 0;
            const uint8_t c = up && x >= 3 ? up[x - 3] : 0;
            dst[1 + x] = uint8_t(row[x] - paeth(a, b, c));
        }
    }
    std::vector<uint8_t> zlib = {0x78, 0x01};
    deflate(filtered, zlib);
    put_be32(zlib, adler32(filtered.data(), filtered.size()));
    put_chunk(out, "IDAT", zlib);
    put_chunk(out, "IEND", {});
}

// The software renderer's speed: each filler's fill rate on large triangles
// against fill_buffer over one frame (ratio_to_fill: how many times slower
// per pixel; BM_FillerVariant runs the AVX2 kernels in each of their
// variants, YURN_SPANS picks BM_Filler's), and render_scene on a lit, textured-Gouraud torus of about
// 5,000, 50,000 and 500,000 triangles at 320 x 240, next to OSMesa drawing
// the same geometry (llvmpipe, its default thread count).
#include <GL/gl.h>
#include <GL/osmesa.h>
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "../tests/render_scenes.h"
#include "render/render.h"
#include "render/render_local.h"
#include "shell/frame.h"

namespace {

constexpr int32_t W = 320, H = 240;

double thread_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// How many times longer work takes than reference: the median over rounds of
// the two timed back to back (this thread's CPU time), so that a neighbour's
// load or a clock change moves both sides of each round alike.
template <class Work, class Reference>
double interleaved_ratio(Work work, Reference reference)
{
    constexpr int32_t ROUNDS = 15, BATCH = 20;
    std::vector<double> ratios;
    for (int32_t round = 0; round < ROUNDS; round++) {
        const double t0 = thread_seconds();
        for (int32_t i = 0; i < BATCH; i++)
            work();
        const double t1 = thread_seconds();
        for (int32_t i = 0; i < BATCH; i++)
            reference();
        const double t2 = thread_seconds();
        if (t2 > t1)
            ratios.push_back((t1 - t0) / (t2 - t1));
    }
    if (ratios.empty())
        return 0;
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    return ratios[ratios.size() / 2];
}

struct Frame {
    std::vector<uint32_t> colour = std::vector<uint32_t>(W * H, 0);
    std::vector<uint32_t> depth = std::vector<uint32_t>(W * H, 0xFFFFFFFF);
};

void set_up_globals()
{
    frame_width = W;
    frame_height = H;
    additive_pass = 0;
    interlace_flag = 0;
    depth_generation = 0xFFFF0000u;
}

void BM_FillBuffer(benchmark::State& state)
{
    set_up_globals();
    Frame frame;
    for (auto _ : state) {
        fill_buffer(frame.colour.data(), 0x123456, W * H);
        benchmark::DoNotOptimize(frame.colour.data());
        benchmark::ClobberMemory();
    }
    // Against the C library's memset of the same bytes (0x56 repeated, so not
    // the value the fill takes its own way for).
    state.counters["ratio_to_memset"] = interleaved_ratio(
        [&] {
            fill_buffer(frame.colour.data(), 0x123456, W * H);
            benchmark::ClobberMemory();
        },
        [&] {
            std::memset(frame.colour.data(), 0x56, sizeof(uint32_t) * W * H);
            benchmark::ClobberMemory();
        });
    state.counters["pixels/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * W * H,
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FillBuffer);

constexpr const char* VARIANT_NAMES[SPAN_VARIANTS] = {"masked", "gather", "loads"};

// Two triangles covering the whole frame; every pixel passes the depth test
// because the generation drops before each frame.  Arguments: filler,
// additive pass, span level (0 plain, 1 AVX2 in the variant YURN_SPANS or
// the processor picks).
void filler_rate(benchmark::State& state, int32_t level)
{
    set_up_globals();
    const int32_t shade = static_cast<int32_t>(state.range(0));
    additive_pass = static_cast<uint8_t>(state.range(1));
    set_span_level(level);
    current_texture_size = 64;
    const std::vector<uint32_t> texture = render_scenes::checkerboard(64, 8, 0xE0E000, 0x2040A0);
    Frame frame;
    Vertex corners[4] = {};
    const float xs[4] = {0, 320, 320, 0}, ys[4] = {0, 0, 240, 240};
    for (int32_t k = 0; k < 4; k++) {
        corners[k].screen_x = xs[k];
        corners[k].screen_y = ys[k];
        corners[k].transformed.z = 100.0f + 50.0f * k;
        corners[k].colour = 0x204060u * static_cast<uint32_t>(k + 1) & 0xFFFFFF;
        corners[k].u = xs[k] * 0.7f;
        corners[k].v = ys[k] * 0.9f - 30;
    }
    Vertex* const first[3] = {&corners[0], &corners[1], &corners[2]};
    Vertex* const second[3] = {&corners[0], &corners[2], &corners[3]};
    const auto draw_frame = [&] {
        depth_generation -= 0x10000;
        if (depth_generation == 0xFFFF0000u)
            fill_buffer(frame.depth.data(), 0xFFFFFFFF, W * H);
        for (Vertex* const* triangle : {first, second}) {
            switch (shade) {
            case 0: fill_flat(triangle, 0x336699, frame.colour.data(), frame.depth.data()); break;
            case 1: fill_gouraud(triangle, frame.colour.data(), frame.depth.data()); break;
            case 2: fill_textured(triangle, texture.data(), frame.colour.data(), frame.depth.data()); break;
            default: fill_textured_gouraud(triangle, texture.data(), frame.colour.data(), frame.depth.data()); break;
            }
        }
        benchmark::ClobberMemory();
    };
    for (auto _ : state)
        draw_frame();
    state.counters["pixels/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * W * H,
                                                    benchmark::Counter::kIsRate);
    state.counters["ratio_to_fill"] = interleaved_ratio(draw_frame, [&] {
        fill_buffer(frame.colour.data(), 0x123456, W * H);
        benchmark::ClobberMemory();
    });
    static const char* const names[4] = {"flat", "gouraud", "textured", "textured_gouraud"};
    state.SetLabel(std::string(names[shade]) + (additive_pass ? " additive" : " opaque") +
                   (level ? std::string(" avx2 ") + VARIANT_NAMES[span_variant] : std::string(" plain")));
    set_span_level(1);
    additive_pass = 0;
    current_texture_size = 256;
}

void BM_Filler(benchmark::State& state) { filler_rate(state, static_cast<int32_t>(state.range(2))); }
BENCHMARK(BM_Filler)->ArgsProduct({{0, 1, 2, 3}, {0, 1}, {1, 0}});

// The AVX2 kernels in each variant (third argument: masked, gather, loads),
// to compare them in one run on one machine: --benchmark_filter=Variant.
void BM_FillerVariant(benchmark::State& state)
{
    set_span_variant(static_cast<int32_t>(state.range(2)));
    filler_rate(state, 1);
    set_span_variant(-1);
}
BENCHMARK(BM_FillerVariant)->ArgsProduct({{0, 1, 2, 3}, {0, 1}, {SPANS_MASKED, SPANS_GATHER, SPANS_LOADS}});

// About 5,000 (50 x 50 x 2), 50,000 (250 x 100 x 2) or 500,000 (1000 x 250 x 2) triangles.
Object* make_bench_torus(int64_t triangles, uint32_t* texture)
{
    Object* torus = triangles < 10000    ? render_scenes::make_torus(60, 25, 50, 50)
                    : triangles < 100000 ? render_scenes::make_torus(60, 25, 250, 100)
                                         : render_scenes::make_torus(60, 25, 1000, 250);
    torus->mode = MODE_GOURAUD | MODE_TEXTURED;
    torus->texture = texture;
    torus->texture_size = 64;
    torus->colour = 0x808080;
    torus->position = {0, 0, 200};
    return torus;
}

void BM_RenderScene(benchmark::State& state)
{
    set_up_globals();
    std::vector<uint32_t> texture = render_scenes::checkerboard(64, 8, 0xE0E000, 0x2040A0);
    Scene scene;
    Object* torus = make_bench_torus(state.range(0), texture.data());
    scene.add_object(torus);
    Light light{};
    light.position = {0, 0, 0};
    light.colour = 0xFFFFFF;
    light.attenuation[0] = 1;
    scene.add_light(&light);
    scene.ambient = 0x202020;
    Camera camera{};
    camera.fov = 90;
    Frame frame;
    float angle = 0;
    const double cpu_start = thread_seconds();
    for (auto _ : state) {
        angle += 0.01f;
        torus->angles = {angle, angle * 0.7f, 0};
        fill_buffer(frame.colour.data(), 0, W * H);
        scene.render_scene(&camera, frame.depth.data(), frame.colour.data());
        benchmark::ClobberMemory();
    }
    // This thread's own time per frame: on a shared machine the wall clock
    // also counts the time other processes held the core.
    const double cpu_seconds = (thread_seconds() - cpu_start) / static_cast<double>(state.iterations());
    state.counters["cpu_ms/frame"] = cpu_seconds * 1e3;
    state.counters["cpu_triangles/s"] = torus->face_count / cpu_seconds;
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["triangles/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * torus->face_count,
                                                       benchmark::Counter::kIsRate);
    state.SetLabel(std::to_string(torus->face_count) + " triangles, one core");
}
BENCHMARK(BM_RenderScene)->Arg(5000)->Arg(50000)->Arg(500000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same torus through OSMesa's fixed-function pipeline: depth test, back
// faces culled, one light at the eye, a 64 x 64 texture, 320 x 240.
void BM_OSMesa(benchmark::State& state)
{
    std::vector<uint32_t> texture = render_scenes::checkerboard(64, 8, 0xE0E000, 0x2040A0);
    Object* torus = make_bench_torus(state.range(0), texture.data());
    std::vector<float> positions, normals, uvs;
    for (uint32_t f = 0; f < torus->face_count; f++) {
        for (int32_t k = 0; k < 3; k++) {
            const Vertex* v = torus->faces[f].vertices[k];
            positions.insert(positions.end(), {v->position.x, v->position.y, v->position.z});
            normals.insert(normals.end(), {v->normal.x, v->normal.y, v->normal.z});
            uvs.insert(uvs.end(), {torus->faces[f].uv[2 * k] / 64, torus->faces[f].uv[2 * k + 1] / 64});
        }
    }
    const uint32_t face_count = torus->face_count;
    destroy_object(torus);

    OSMesaContext context = OSMesaCreateContextExt(OSMESA_BGRA, 24, 0, 0, nullptr);
    std::vector<uint32_t> buffer(W * H);
    if (!context || !OSMesaMakeCurrent(context, buffer.data(), GL_UNSIGNED_BYTE, W, H)) {
        state.SkipWithError("OSMesa context not available");
        return;
    }
    glViewport(0, 0, W, H);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-10, 10, -7.5, 7.5, 10, 3500);  // 90 degrees across, 4:3
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    const GLfloat eye[4] = {0, 0, 0, 1};
    glLightfv(GL_LIGHT0, GL_POSITION, eye);
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 64, 64, 0, GL_BGRA, GL_UNSIGNED_BYTE, texture.data());
    glEnable(GL_TEXTURE_2D);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, positions.data());
    glNormalPointer(GL_FLOAT, 0, normals.data());
    glTexCoordPointer(2, GL_FLOAT, 0, uvs.data());
    float angle = 0;
    for (auto _ : state) {
        angle += 0.01f;
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        // Engine space (y down, z away) to GL eye space: a half turn about x.
        glRotatef(180, 1, 0, 0);
        glTranslatef(0, 0, 200);
        glRotatef(angle * 0.7f * 57.29578f, 0, 1, 0);
        glRotatef(angle * 57.29578f, 1, 0, 0);
        glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(positions.size() / 3));
        glFinish();
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["triangles/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * face_count,
                                                       benchmark::Counter::kIsRate);
    state.SetLabel(std::to_string(face_count) + " triangles, llvmpipe");
    glDeleteTextures(1, &name);
    OSMesaDestroyContext(context);
}
BENCHMARK(BM_OSMesa)->Arg(5000)->Arg(50000)->Arg(500000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

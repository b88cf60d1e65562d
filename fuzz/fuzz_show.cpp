// libFuzzer target: the show file reader on arbitrary bytes.  It never ends
// the program: every fault comes back as a problem with its place; whatever
// it accepts must give a timeline and a list of files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "files/show_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ShowFile show;
    std::vector<ShowProblem> problems;
    const bool ok = parse_show("fuzz/show.toml", reinterpret_cast<const char*>(data), size, &show, &problems);
    if (ok != problems.empty())
        std::abort();  // a refusal always says why, an acceptance never has problems
    if (ok) {
        const std::vector<ShowSpan> spans = show_timeline(show);
        if (spans.size() != show.stages.size())
            std::abort();
        for (const ShowFileUse& use : show_files_used(show))
            if (use.path.empty())
                std::abort();
        for (const ShowScene& scene : show.scenes)
            for (const ShowObject& object : scene.objects)
                (void)show_motion_value(object.angles[0], 1.5);
    } else {
        for (const ShowProblem& problem : problems)
            (void)format_show_problem(show.name, problem);
    }
    return 0;
}

// Standard MIDI Files read the way an application reads them: each file from disk through the file
// reader, every track's events and meta events, and every track's note map. The files are the 31
// of Debian's openttd-openmsx package, real music written by several tools; scripts/bench times
// midicsv (a C tool) converting the same files, for the ratio.
#include "sonabel/midi/midifile/MIDIFile.h"
#include "sonabel/midi/midifile/MIDIFileTrackNoteMap.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::filesystem::path openMSXDirectory() {
    if (const char* given = std::getenv("SONABEL_OPENMSX_DIR")) return given;
    return "/usr/share/games/openttd/baseset/openmsx";
}

std::vector<std::filesystem::path> openMSXFiles() {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(openMSXDirectory(), error), end; !error && it != end;
         it.increment(error))
        if (it->path().extension() == ".mid") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

void BM_ReadOpenMSXFilesAndNoteMaps(benchmark::State& state) {
    const auto files = openMSXFiles();
    if (files.empty()) {
        state.SkipWithError(("no .mid files in " + openMSXDirectory().string() +
                             ": install openttd-openmsx (scripts/bench does) or set SONABEL_OPENMSX_DIR")
                                .c_str());
        return;
    }
    std::uintmax_t bytes = 0;
    for (const auto& file : files)
        bytes += std::filesystem::file_size(file);
    std::size_t events = 0, notes = 0;
    for (auto _ : state) {
        for (const auto& path : files) {
            const sonabel::MIDIFile file(path);
            const auto tracks = file.tracks();
            for (const auto& track : tracks) {
                events += track.events().size();
                events += track.metaEvents().size();
            }
            for (int i = 0; i < static_cast<int>(tracks.size()); ++i)
                notes += sonabel::MIDIFileTrackNoteMap(file, i).noteDurations().size();
        }
    }
    benchmark::DoNotOptimize(events);
    benchmark::DoNotOptimize(notes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["files"] = static_cast<double>(files.size());
}
BENCHMARK(BM_ReadOpenMSXFilesAndNoteMaps)->Unit(benchmark::kMillisecond);

} // namespace

// Engine throughput: carrack_cpp and carrack_suffix against the literal node walk,
// over the corpus documents and any JSON files named on the command line, each
// whole and cut at 50% and 90%. Inputs are loaded before timing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

#include "text.hpp"
#include "walk.hpp"

namespace {

using carrack::testing::read_file;

void run_code_points(benchmark::State& state, const std::u32string& text, size_t utf8_size) {
    for (auto _ : state) benchmark::DoNotOptimize(carrack::carrack_suffix_ucs4(std::u32string_view(text)));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(utf8_size));
}

void run(benchmark::State& state, const std::string& text, int walker) {
    for (auto _ : state) {
        switch (walker) {
            case 0:
                benchmark::DoNotOptimize(carrack::carrack_cpp(text));
                break;
            case 1:
                benchmark::DoNotOptimize(carrack::carrack_suffix_utf8(text));
                break;
            default:
                benchmark::DoNotOptimize(carrack::testing::literal_complete(text));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// Kept alive for the whole run: benchmarks refer to them, and a deque's
// elements stay where they are as it grows.
std::deque<std::string>& inputs() {
    static std::deque<std::string> all;
    return all;
}
std::deque<std::u32string>& wide_inputs() {
    static std::deque<std::u32string> all;
    return all;
}

void register_document(const std::filesystem::path& path) {
    const std::string doc = read_file(path);
    const std::string name = path.stem().string();
    for (const int percent : {50, 90, 100}) {
        inputs().push_back(doc.substr(0, doc.size() * static_cast<size_t>(percent) / 100));
        const std::string& text = inputs().back();
        const std::string label = name + "/" + std::to_string(percent) + "%";
        benchmark::RegisterBenchmark(("carrack_cpp/" + label).c_str(), run, std::cref(text), 0);
        benchmark::RegisterBenchmark(("carrack_suffix/" + label).c_str(), run, std::cref(text), 1);
        benchmark::RegisterBenchmark(("literal_walk/" + label).c_str(), run, std::cref(text), 2);
        wide_inputs().push_back(*carrack::testing::from_utf8(text));
        benchmark::RegisterBenchmark(("carrack_suffix_ucs4/" + label).c_str(), run_code_points,
                                     std::cref(wide_inputs().back()), text.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::filesystem::path corpus = CARRACK_CORPUS_DIR;
    if (const char* env = std::getenv("CARRACK_CORPUS")) corpus = env;
    for (const char* name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
        if (std::filesystem::exists(corpus / name)) register_document(corpus / name);
    }
    for (int i = 1; i < argc; ++i) register_document(argv[i]);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

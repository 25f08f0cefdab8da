// Composition of a long address in all three shapes, and the floor it is
// judged by: a memcpy of as many bytes as the encoded result holds.
//
//   bench_compose [benchmark flags]          run the benchmarks
//   bench_compose --write-peer-input DIR     write DIR/address.txt and
//       DIR/expected.txt (UTF-16LE) for the node peer, which must produce
//       exactly the expected text

#include "TagComposer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr std::size_t kUnits = 1024 * 1024;
constexpr std::u16string_view kLinkText = u"メール送信";

// Mostly ASCII with some Japanese and one astral character, so that every
// kind of reference is written in realistic proportion.
std::u16string Address(std::size_t units)
{
    std::u16string s;
    while (s.size() < units)
        s += u"taro.yamada+お知らせ@example.jp,";
    s.resize(units);
    s[units / 2 - 1] = 0xD83D;
    s[units / 2] = 0xDCE7;
    return s;
}

void compose(benchmark::State& state, TagComposer::Options options)
{
    const std::u16string address = Address(kUnits);
    for (auto _ : state) {
        std::u16string result = TagComposer::Compose(kLinkText, address, options);
        benchmark::DoNotOptimize(result.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kUnits));
}

// The least any composer must do: write the result's bytes once.
void memcpyFloor(benchmark::State& state)
{
    const std::u16string source = TagComposer::Compose(kLinkText, Address(kUnits), {true, true});
    std::u16string target(source.size(), u' ');
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size() * sizeof(char16_t));
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.counters["result_bytes"] = static_cast<double>(source.size() * sizeof(char16_t));
}

bool write(const std::string& path, const std::u16string& text)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(text.data()), static_cast<std::streamsize>(text.size() * 2));
    return bool(file);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--write-peer-input") {
        const std::u16string address = Address(kUnits);
        const std::string dir = argv[2];
        return write(dir + "/address.txt", address)
                && write(dir + "/expected.txt", TagComposer::Compose(kLinkText, address, {true, true}))
            ? 0 : 1;
    }
    benchmark::RegisterBenchmark("compose/plain", compose, TagComposer::Options{false, false});
    benchmark::RegisterBenchmark("compose/script", compose, TagComposer::Options{true, false});
    benchmark::RegisterBenchmark("compose/encoded", compose, TagComposer::Options{true, true});
    benchmark::RegisterBenchmark("memcpy/encoded", memcpyFloor);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

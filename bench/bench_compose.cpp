// Composition speed in all three shapes, and the floor it is judged by: a
// memcpy of as many bytes as the encoded result holds. Both run in one
// process, interleaved, so that a noisy machine moves them together.
//
//   bench_compose [benchmark flags]          run the benchmarks
//   bench_compose --write-peer-input DIR     write DIR/address.txt (the 1 Mi
//       address, UTF-8) and DIR/expected.txt (its encoded script shape,
//       UTF-8) for the node peer, which must produce exactly that text

#include "BenchInput.h"
#include "TagComposer.h"

#include <benchmark/benchmark.h>

#include <QFile>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

constexpr qsizetype kSizes[] = {16, 1024, 64 * 1024, 1024 * 1024};
constexpr qsizetype kPeerSize = 1024 * 1024;

struct Shape {
    const char* name;
    TagComposer::Options options;
};
constexpr Shape kShapes[] = {
    {"plain", {false, false}},
    {"script", {true, false}},
    {"encoded", {true, true}},
};

void compose(benchmark::State& state, TagComposer::Options options, qsizetype units)
{
    const QString address = BenchInput::Address(units);
    const QString& text = BenchInput::LinkText();
    qsizetype resultUnits = 0;
    for (auto _ : state) {
        QString result = TagComposer::Compose(text, address, options);
        resultUnits = result.size();
        benchmark::DoNotOptimize(result.constData());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * units);
    state.SetBytesProcessed(state.iterations() * resultUnits * qsizetype(sizeof(char16_t)));
    state.counters["result_bytes"] = double(resultUnits) * double(sizeof(char16_t));
}

// The floor: copy as many bytes as the 1 Mi encoded result holds, between
// buffers that are already mapped, which is the least any composer must do.
void memcpyFloor(benchmark::State& state)
{
    const QString result =
        TagComposer::Compose(BenchInput::LinkText(), BenchInput::Address(kPeerSize), {true, true});
    const std::size_t bytes = std::size_t(result.size()) * sizeof(char16_t);
    auto source = std::make_unique<char[]>(bytes);
    auto target = std::make_unique<char[]>(bytes);
    std::memcpy(source.get(), result.constData(), bytes);
    std::memset(target.get(), 0, bytes);
    for (auto _ : state) {
        std::memcpy(target.get(), source.get(), bytes);
        benchmark::DoNotOptimize(target.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * qsizetype(bytes));
    state.counters["result_bytes"] = double(bytes);
}

bool writeUtf8(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray bytes = text.toUtf8();
    return file.write(bytes) == bytes.size();
}

int writePeerInput(const char* dir)
{
    const QString address = BenchInput::Address(kPeerSize);
    const QString expected = TagComposer::Compose(BenchInput::LinkText(), address, {true, true});
    const QString base = QString::fromLocal8Bit(dir);
    if (!writeUtf8(base + QStringLiteral("/address.txt"), address)
        || !writeUtf8(base + QStringLiteral("/expected.txt"), expected)) {
        std::fprintf(stderr, "bench_compose: cannot write the peer's input into %s\n", dir);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string_view(argv[1]) == "--write-peer-input")
        return writePeerInput(argv[2]);

    for (const Shape& shape : kShapes) {
        for (const qsizetype size : kSizes) {
            const std::string name = std::string("compose/") + shape.name + "/" + std::to_string(size);
            benchmark::RegisterBenchmark(name.c_str(), compose, shape.options, size)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RegisterBenchmark("memcpy/encoded_result/1048576", memcpyFloor)
        ->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

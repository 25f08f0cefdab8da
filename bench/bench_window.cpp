// What the window adds to a make press: a 100 000-character address, from
// the press on btnMake until txtTag has been painted, against the floor of
// QPlainTextEdit::setPlainText of the very same text plus its paint, in the
// same field. Runs under a real X server (bench/run-benchmarks starts Xvfb),
// because the offscreen platform would skip the work a user waits for.

#include "BenchInput.h"
#include "TagComposer.h"
#include "frmMain.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <cstdio>

namespace {

constexpr qsizetype kAddressUnits = 100000;

class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count() const { return m_count; }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++m_count;
        return false;
    }

private:
    int m_count = 0;
};

struct Fixture {
    frmMain* window;
    QLineEdit* txtTitle;
    QLineEdit* txtMail;
    QPushButton* btnMake;
    QPlainTextEdit* txtTag;
    PaintCounter* painted;
};

// Returns once the field's paint event, queued by the text change, has run.
void waitUntilPainted(const Fixture& f, int before)
{
    while (f.painted->count() == before)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Every timed press starts from the same small document, so that neither
// side gets to reuse the other's layout.
void resetField(const Fixture& f)
{
    const int before = f.painted->count();
    f.txtTag->setPlainText(QStringLiteral("-"));
    waitUntilPainted(f, before);
}

template <typename Action>
void timed(benchmark::State& state, const Fixture& f, Action action)
{
    for (auto _ : state) {
        resetField(f);
        const int before = f.painted->count();
        const auto start = std::chrono::steady_clock::now();
        action();
        waitUntilPainted(f, before);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}

void makeAndPaint(benchmark::State& state, const Fixture* f)
{
    f->txtMail->setText(BenchInput::Address(kAddressUnits));
    const QString expected = TagComposer::Compose(f->txtTitle->text(), f->txtMail->text(), {true, true});
    timed(state, *f, [&] { QTest::mouseClick(f->btnMake, Qt::LeftButton); });
    // The press must have done the work the floor is given.
    if (f->window->tagText() != expected)
        state.SkipWithError("the make press did not leave the encoded tag in txtTag");
}

void setPlainTextAndPaint(benchmark::State& state, const Fixture* f)
{
    const QString text = TagComposer::Compose(f->txtTitle->text(), BenchInput::Address(kAddressUnits),
                                              {true, true});
    timed(state, *f, [&] { f->txtTag->setPlainText(text); });
}

template <typename T>
T* child(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(QLatin1String(name));
    if (!widget) {
        std::fprintf(stderr, "bench_window: frmMain has no %s\n", name);
        std::exit(1);
    }
    return widget;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "bench_window: needs an X display; run it through bench/run-benchmarks, "
                             "which starts Xvfb (Debian package xvfb)\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    frmMain window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "bench_window: the window was never exposed\n");
        return 1;
    }
    auto* txtTag = child<QPlainTextEdit>(window, "txtTag");
    PaintCounter painted(txtTag->viewport());
    const Fixture fixture{&window, child<QLineEdit>(window, "txtTitle"), child<QLineEdit>(window, "txtMail"),
                          child<QPushButton>(window, "btnMake"), txtTag, &painted};

    const std::string size = std::to_string(kAddressUnits);
    benchmark::RegisterBenchmark(("window/make+paint/" + size).c_str(), makeAndPaint, &fixture)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("window/setPlainText+paint/" + size).c_str(), setPlainTextAndPaint, &fixture)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

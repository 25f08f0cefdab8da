// What the window adds to a make press: a 100 000-character address, from
// the press on btnMake until txtTag has been painted, against setPlainText of
// the very same text plus its paint in the same field. Needs a real X server
// (bench/run-benchmarks starts Xvfb): offscreen would skip the work a user
// waits for.

#include "TagComposer.h"
#include "frmMain.h"
#include "platform/QtText.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>

namespace {

struct Field : QObject {
    QPlainTextEdit* edit;
    int paints = 0;
    explicit Field(QPlainTextEdit* e) : edit(e) { edit->viewport()->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
    template <typename Action>
    void time(benchmark::State& state, Action action)
    {
        for (auto _ : state) {
            // Every press starts from the same small document.
            edit->setPlainText(QStringLiteral("-"));
            for (const int before = paints; paints == before;)
                QCoreApplication::processEvents();
            const int before = paints;
            const auto start = std::chrono::steady_clock::now();
            action();
            while (paints == before)
                QCoreApplication::processEvents();
            state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    frmMain window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    Field field(window.findChild<QPlainTextEdit*>(QStringLiteral("txtTag")));
    auto* mail = window.findChild<QLineEdit*>(QStringLiteral("txtMail"));
    auto* make = window.findChild<QPushButton*>(QStringLiteral("btnMake"));
    mail->setText(QString(100000, u'a'));
    const QString tag = toQString(TagComposer::Compose(u"メール送信", view(mail->text()), {true, true}));

    benchmark::RegisterBenchmark("window/make+paint", [&](benchmark::State& state) {
        field.time(state, [&] { QTest::mouseClick(make, Qt::LeftButton); });
        if (window.tagText() != tag)
            state.SkipWithError("the press did not leave the encoded tag in txtTag");
    })->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("window/setPlainText+paint", [&](benchmark::State& state) {
        field.time(state, [&] { field.edit->setPlainText(tag); });
    })->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

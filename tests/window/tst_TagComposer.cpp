// Tag composition against the shared table of expected tags, without a
// display.

#include "TagComposer.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

std::u16string u16(const QJsonValue& v)
{
    return v.toString().toStdU16String();
}

} // namespace

class TagComposerTest : public QObject {
    Q_OBJECT

private slots:
    void rows_data();
    void rows();
};

void TagComposerTest::rows_data()
{
    QTest::addColumn<QJsonObject>("row");
    QFile file(QStringLiteral(QUORVEL_COMPOSE_ROWS));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
    QJsonParseError error;
    const QJsonArray rows = QJsonDocument::fromJson(file.readAll(), &error).array();
    QVERIFY2(error.error == QJsonParseError::NoError && rows.size() > 50, qPrintable(error.errorString()));
    for (const QJsonValue& row : rows)
        QTest::newRow(qPrintable(row[QLatin1String("name")].toString())) << row.toObject();
}

void TagComposerTest::rows()
{
    QFETCH(QJsonObject, row);
    const QString shape = row[QLatin1String("shape")].toString();
    const TagComposer::Options options{shape != QLatin1String("plain"), shape == QLatin1String("encoded")};
    const std::u16string text = u16(row[QLatin1String("text")]);
    const std::u16string address = u16(row[QLatin1String("address")]);
    const std::u16string tag = u16(row[QLatin1String("tag")]);
    QCOMPARE(TagComposer::Compose(text, address, options), tag);
    // Without the script the encode option is never read.
    if (!options.script)
        QCOMPARE(TagComposer::Compose(text, address, {false, true}), tag);
}

QTEST_APPLESS_MAIN(TagComposerTest)
#include "tst_TagComposer.moc"

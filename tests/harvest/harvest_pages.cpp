// Writes the preview page of every "harvest" row of the shared table as the
// window writes it, once in each locale given: OUTDIR/<row>.<locale>.html,
// <row> being the row's place in the table.
//   harvest_pages ROWS_JSON OUTDIR LOCALE...
#include "TagComposer.h"
#include "platform/PreviewFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <clocale>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    QFile file(argc > 3 ? argv[1] : "");
    if (!file.open(QIODevice::ReadOnly))
        return std::fprintf(stderr, "usage: harvest_pages ROWS_JSON OUTDIR LOCALE...\n"), 2;
    const QJsonArray rows = QJsonDocument::fromJson(file.readAll()).array();
    for (int i = 3; i < argc; ++i) {
        // The page is written in the user's locale, read from the environment.
        if (locale_t exists = newlocale(LC_ALL_MASK, argv[i], locale_t(nullptr)))
            freelocale(exists);
        else
            return std::fprintf(stderr, "%s is missing: scripts/install-deps generates it (Debian package locales)\n", argv[i]), 1;
        ::setenv("LC_ALL", argv[i], 1);
        for (qsizetype r = 0; r < rows.size(); ++r) {
            const QJsonObject row = rows[r].toObject();
            const QString shape = row["shape"].toString();
            if (!row["name"].toString().startsWith("harvest"))
                continue;
            const std::u16string tag = TagComposer::Compose(row["text"].toString().toStdU16String(), row["address"].toString().toStdU16String(),
                                                            {shape != "plain", shape == "encoded"});
            const QString path = QString("%1/%2.%3.html").arg(argv[2]).arg(r).arg(argv[i]);
            if (!ApiDef::WritePreviewFile(path.toStdU16String(), TagComposer::PreviewPage(tag)).ok)
                return std::fprintf(stderr, "cannot write %s\n", qPrintable(path)), 1;
        }
    }
    return 0;
}

#pragma once
// The program's only window: two input fields, two coupled options, three
// commands and the result field.

#include <QWidget>

#include <cstdint>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class frmMain : public QWidget {
    Q_OBJECT

public:
    explicit frmMain(QWidget* parent = nullptr);

    // The result field's text with every line break as CR LF, which is what
    // the clipboard and the preview page carry.
    QString tagText() const;

public slots:
    void btnMake_Click();
    void btnCopy_Click();
    void btnPreView_Click();
    void chkCnvScript_Click();
    void chkCovCode_Click();

private:
    void showMessage(const QString& text);
    static void shellFailedLate(std::uintptr_t owner, std::int32_t result);

    QLabel* Label1;
    QLineEdit* txtTitle;
    QLabel* Label2;
    QLineEdit* txtMail;
    QCheckBox* chkCnvScript;
    QCheckBox* chkCovCode;
    QPushButton* btnMake;
    QPushButton* btnPreView;
    QPushButton* btnCopy;
    QPlainTextEdit* txtTag;
};

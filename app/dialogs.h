// The window's modal dialogs behind one seam, so that tests can give the answer before the
// action instead of driving the real dialog.
#pragma once

#include <QColor>
#include <QMessageBox>
#include <QString>

class QWidget;

namespace Dialogs {

// The name of an existing file to open, or empty when the user cancels; the dialog starts in
// directory (empty: the current one).
QString openFileName(QWidget *parent, const QString &caption, const QString &filter,
                     const QString &directory = QString());
// A name to save under, starting from suggestion; empty when the user cancels. Asks before an
// existing file is replaced. selectedFilter, when given, starts as the filter chosen first and
// says the one chosen.
QString saveFileName(QWidget *parent, const QString &caption, const QString &suggestion,
                     const QString &filter, QString *selectedFilter = nullptr);
// A message box with a warning icon, informative text under the text if not empty. Titled as
// the parent is, or with the name of file when it is about a file that failed.
QMessageBox::StandardButton warning(QWidget *parent, const QString &text,
                                    const QString &informative = QString(),
                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                    const QString &file = QString());
// The same about a file that failed: "logo.png – KESTREL", not the file open in the window.
inline QMessageBox::StandardButton fileWarning(QWidget *parent, const QString &file,
                                               const QString &text,
                                               const QString &informative = QString())
{
    return warning(parent, text, informative, QMessageBox::Ok, file);
}

// A colour, starting from initial; invalid when the user cancels.
QColor colour(QWidget *parent, const QColor &initial, const QString &title);

// Which page of a document of pages pages to open, from 0; -1 when the user cancels.
int pageNumber(QWidget *parent, const QString &document, int pages);

// For tests: the next file dialog returns name at once, unshown, with filter chosen (empty: none
// but the first); an empty name cancels it.
void setNextFileName(const QString &name, const QString &filter = QString());
// For tests: the next message box returns answer at once, unshown.
void setNextAnswer(QMessageBox::StandardButton answer);

// For tests: the next page question returns page (from 0; -1 cancels) at once, unshown.
void setNextPage(int page);

// For tests: the next colour dialog returns colour (invalid cancels) at once, unshown.
void setNextColour(const QColor &colour);

// What the last dialog was given, whether it was shown or answered beforehand.
struct Record
{
    QString suggestion; // of the last save dialog
    QString filters; // of the last save dialog, and the one it started with
    QString firstFilter;
    QString directory; // of the last open dialog
    QWidget *parent = nullptr; // of the last message box
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    QString informative;
};
const Record &last();
// Forgets what last() holds and any answer not yet taken.
void reset();

} // namespace Dialogs

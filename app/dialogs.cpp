// The window's dialogs, each run for real unless a test has given its answer beforehand.
#include "dialogs.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>

#include <optional>

namespace Dialogs {

namespace {

std::optional<QString> nextFileName;
QString nextFilter;
std::optional<QMessageBox::StandardButton> nextAnswer;
std::optional<int> nextPage;
std::optional<QColor> nextColour;
Record record;

} // namespace

QString openFileName(QWidget *parent, const QString &caption, const QString &filter,
                     const QString &directory)
{
    record.directory = directory;
    if (nextFileName) {
        const QString name = *nextFileName;
        nextFileName.reset();
        return name;
    }
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

QString saveFileName(QWidget *parent, const QString &caption, const QString &suggestion,
                     const QString &filter, QString *selectedFilter)
{
    record.suggestion = suggestion;
    record.filters = filter;
    record.firstFilter = selectedFilter ? *selectedFilter : QString();
    if (nextFileName) {
        const QString name = *nextFileName;
        nextFileName.reset();
        if (selectedFilter)
            *selectedFilter = nextFilter;
        return name;
    }
    return QFileDialog::getSaveFileName(parent, caption, suggestion, filter, selectedFilter);
}

QMessageBox::StandardButton warning(QWidget *parent, const QString &text,
                                    const QString &informative,
                                    QMessageBox::StandardButtons buttons, const QString &file)
{
    record.parent = parent;
    // As the window titles itself for a file: its name first, then the program's.
    record.title = !file.isEmpty() ? QFileInfo(file).fileName() + QStringLiteral(" \u2013 KESTREL")
            : parent               ? parent->windowTitle()
                                   : QString();
    record.icon = QMessageBox::Warning;
    record.text = text;
    record.informative = informative;
    if (nextAnswer) {
        const QMessageBox::StandardButton answer = *nextAnswer;
        nextAnswer.reset();
        return answer;
    }
    QMessageBox box(QMessageBox::Warning, record.title, text, buttons, parent);
    box.setInformativeText(informative);
    return QMessageBox::StandardButton(box.exec());
}

int pageNumber(QWidget *parent, const QString &document, int pages)
{
    if (nextPage) {
        const int page = *nextPage;
        nextPage.reset();
        return page;
    }
    bool ok = false;
    const int page = QInputDialog::getInt(
            parent, QStringLiteral("Choose a Page"),
            QStringLiteral("%1 has %2 pages. Convert page:").arg(document).arg(pages), 1, 1, pages,
            1, &ok);
    return ok ? page - 1 : -1;
}

QColor colour(QWidget *parent, const QColor &initial, const QString &title)
{
    if (nextColour) {
        const QColor chosen = *nextColour;
        nextColour.reset();
        return chosen;
    }
    return QColorDialog::getColor(initial, parent, title);
}

void setNextColour(const QColor &colour)
{
    nextColour = colour;
}

void setNextPage(int page)
{
    nextPage = page;
}

void setNextFileName(const QString &name, const QString &filter)
{
    nextFileName = name;
    nextFilter = filter;
}

void setNextAnswer(QMessageBox::StandardButton answer)
{
    nextAnswer = answer;
}

const Record &last()
{
    return record;
}

void reset()
{
    record = Record();
    nextFileName.reset();
    nextAnswer.reset();
    nextPage.reset();
    nextColour.reset();
}

} // namespace Dialogs

#include "ProgramEdit.h"

#include "ProgramHighlighter.h"

#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QMimeData>
#include <QPainter>
#include <QTextBlock>
#include <QToolTip>
#include <algorithm>

namespace {

class Gutter final : public QWidget {
public:
    explicit Gutter(ProgramEdit *editor) : QWidget(editor), editor_(editor)
    {
        setObjectName(QStringLiteral("OrgProgramGutter"));
    }
    QSize sizeHint() const override { return {editor_->gutterWidth(), 0}; }

protected:
    void paintEvent(QPaintEvent *event) override { editor_->paintGutter(event); }
    void mousePressEvent(QMouseEvent *event) override
    {
        if (const int line = editor_->lineAt(qRound(event->position().y())))
            emit editor_->gutterClicked(line);
    }
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::ToolTip)
            return QWidget::event(event);
        const auto *help = static_cast<QHelpEvent *>(event);
        const QString message = editor_->checkMessage(editor_->lineAt(help->pos().y()));
        if (message.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), message, this);
        return true;
    }

private:
    ProgramEdit *editor_;
};

const QColor gutterBackground(0xf0, 0xf0, 0xf0);
const QColor gutterText(0x80, 0x80, 0x80);
const QColor failingBackground(0xd0, 0x20, 0x20);
const QColor checkBackground(0xf6, 0xc8, 0xc8);
const QColor checkText(0xb0, 0x00, 0x00);
const QColor checkUnderline(0xe0, 0x00, 0x00);
const QColor breakpointDot(0xc0, 0x10, 0x10);
// One colour per thread; the editor's own mark is thread 0's.
const QColor runningArrows[] = {QColor(0x10, 0x80, 0x30), QColor(0x10, 0x50, 0xc0)};
const QColor runningBackgrounds[] = {QColor(0xe2, 0xf4, 0xe2), QColor(0xe0, 0xea, 0xfa)};

// A right-pointing arrow at the gutter's left edge, centred on the line.
void paintArrow(QPainter &painter, int top, int lineHeight, const QColor &runningArrow)
{
    const qreal h = lineHeight * 0.6, mid = top + lineHeight / 2.0;
    const QPointF tip[] = {{2, mid - h / 2}, {2 + h * 0.8, mid}, {2, mid + h / 2}};
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(runningArrow);
    painter.drawPolygon(tip, 3);
    painter.restore();
}

}  // namespace

ProgramEdit::ProgramEdit(QWidget *parent) : QPlainTextEdit(parent)
{
    gutter_ = new Gutter(this);
    highlighter_ = new ProgramHighlighter(document());
    connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { updateGutterWidth(); });
    connect(this, &QPlainTextEdit::updateRequest, this, &ProgramEdit::updateGutter);
    // Only a change of characters ends the mark; colouring does not count.
    connect(document(), &QTextDocument::contentsChange, this, [this](int, int removed, int added) {
        if ((removed || added) && failingLine_) {
            failingLine_ = 0;
            gutter_->update();
        }
    });
    updateGutterWidth();
}

int ProgramEdit::gutterWidth() const
{
    int digits = 1;
    for (int n = qMax(1, blockCount()); n >= 10; n /= 10)
        ++digits;
    // Room at the left for the running-line arrow, clear of the numbers.
    const int arrow = fontMetrics().height() / 2 + 4;
    return 10 + arrow + fontMetrics().horizontalAdvance(u'9') * qMax(3, digits);
}

void ProgramEdit::updateGutterWidth()
{
    setViewportMargins(gutterWidth(), 0, 0, 0);
}

void ProgramEdit::updateGutter(const QRect &rect, int dy)
{
    if (dy)
        gutter_->scroll(0, dy);
    else
        gutter_->update(0, rect.y(), gutter_->width(), rect.height());
    if (rect.contains(viewport()->rect()))
        updateGutterWidth();
}

void ProgramEdit::placeGutter()
{
    const QRect r = contentsRect();
    gutter_->setGeometry(QRect(r.left(), r.top(), gutterWidth(), r.height()));
}

void ProgramEdit::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    placeGutter();
}

// The window sets the editor's font after building it; the gutter follows.
void ProgramEdit::changeEvent(QEvent *event)
{
    QPlainTextEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateGutterWidth();
        placeGutter();
    }
}

// A soft line break (Shift+Enter, or one pasted in) is a line of its own in
// the saved and compiled text but not a line of the editor, so the line the
// compiler names and the line marked here would drift apart. Every break is
// an ordinary one.
void ProgramEdit::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & Qt::ShiftModifier)) {
        QKeyEvent plain(event->type(), event->key(), event->modifiers() & ~Qt::ShiftModifier, event->text(),
                        event->isAutoRepeat(), event->count());
        QPlainTextEdit::keyPressEvent(&plain);
        event->setAccepted(plain.isAccepted());
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void ProgramEdit::insertFromMimeData(const QMimeData *source)
{
    if (!source || !source->hasText()) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    QString text = source->text();
    text.replace(QChar::LineSeparator, u'\n');
    text.replace(QChar::ParagraphSeparator, u'\n');
    insertPlainText(text);
}

void ProgramEdit::markFailingLine(int lineNumber)
{
    failingLine_ = (lineNumber >= 1 && lineNumber <= blockCount()) ? lineNumber : 0;
    gutter_->update();
}

void ProgramEdit::setRunningLine(int lineNumber)
{
    setRunningLines({lineNumber});
}

void ProgramEdit::setRunningLines(const QList<int> &lineNumbers)
{
    QList<int> lines;
    for (int n : lineNumbers)
        lines << ((n >= 1 && n <= blockCount()) ? n : 0);
    while (!lines.isEmpty() && lines.last() == 0)
        lines.removeLast();
    // Element by element: two empty lists may hold no data to compare.
    if (std::equal(lines.cbegin(), lines.cend(), runningLines_.cbegin(), runningLines_.cend()))
        return;
    runningLines_ = lines;
    applyMarks();
}

void ProgramEdit::setCheckErrors(const QHash<int, QString> &errors)
{
    if (errors == checkErrors_)
        return;
    checkErrors_ = errors;
    applyMarks();
}

void ProgramEdit::setBreakpoints(const QSet<int> &lines)
{
    breakpoints_ = lines;
    gutter_->update();
}

// Extra selections paint without touching the document, so no mark ever
// counts as an edit.
void ProgramEdit::applyMarks()
{
    QList<QTextEdit::ExtraSelection> marks;
    for (qsizetype k = 0; k < runningLines_.size(); ++k) {
        if (!runningLines_[k])
            continue;
        QTextEdit::ExtraSelection mark;
        mark.format.setBackground(runningBackgrounds[k % 2]);
        mark.format.setProperty(QTextFormat::FullWidthSelection, true);
        mark.cursor = QTextCursor(document()->findBlockByNumber(runningLines_[k] - 1));
        marks << mark;
    }
    for (auto it = checkErrors_.cbegin(); it != checkErrors_.cend(); ++it) {
        const QTextBlock block = document()->findBlockByNumber(it.key() - 1);
        if (!block.isValid())
            continue;
        // The line's text from its first character that is not a blank.
        const QString text = block.text();
        qsizetype first = 0;
        while (first < text.size() && text[first].isSpace())
            ++first;
        QTextEdit::ExtraSelection mark;
        mark.format.setUnderlineStyle(QTextCharFormat::WaveUnderline);
        mark.format.setUnderlineColor(checkUnderline);
        mark.cursor = QTextCursor(block);
        mark.cursor.setPosition(block.position() + int(first));
        mark.cursor.setPosition(block.position() + int(text.size()), QTextCursor::KeepAnchor);
        marks << mark;
    }
    setExtraSelections(marks);
    gutter_->update();
}

int ProgramEdit::lineAt(int y) const
{
    QTextBlock block = firstVisibleBlock();
    qreal top = blockBoundingGeometry(block).translated(contentOffset()).top();
    while (block.isValid() && top <= y) {
        const qreal bottom = top + blockBoundingRect(block).height();
        if (block.isVisible() && y < bottom)
            return block.blockNumber() + 1;
        block = block.next();
        top = bottom;
    }
    return 0;
}

bool ProgramEdit::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const QString message = checkMessage(lineAt(help->pos().y()));
        if (message.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), message, viewport());
        return true;
    }
    return QPlainTextEdit::viewportEvent(event);
}

void ProgramEdit::paintGutter(QPaintEvent *event)
{
    QPainter painter(gutter_);
    painter.fillRect(event->rect(), gutterBackground);
    painter.setFont(font());
    const int width = gutter_->width();
    const int lineHeight = fontMetrics().height();

    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    while (block.isValid() && top <= event->rect().bottom()) {
        const int bottom = top + qRound(blockBoundingRect(block).height());
        if (block.isVisible() && bottom >= event->rect().top()) {
            const int number = block.blockNumber() + 1;
            QFont f = font();
            if (number == failingLine_) {
                painter.fillRect(0, top, width, bottom - top, failingBackground);
                painter.setPen(Qt::white);
                f.setBold(true);
            } else if (checkErrors_.contains(number)) {
                painter.fillRect(0, top, width, bottom - top, checkBackground);
                painter.setPen(checkText);
                f.setBold(true);
            } else {
                painter.setPen(gutterText);
            }
            painter.setFont(f);
            painter.drawText(0, top, width - 5, lineHeight, Qt::AlignRight | Qt::AlignVCenter,
                             QString::number(number));
            if (breakpoints_.contains(number)) {
                const qreal d = lineHeight * 0.6;
                painter.save();
                painter.setRenderHint(QPainter::Antialiasing);
                painter.setPen(Qt::NoPen);
                painter.setBrush(breakpointDot);
                painter.drawEllipse(QRectF(2, top + (lineHeight - d) / 2, d, d));
                painter.restore();
            }
            for (qsizetype k = 0; k < runningLines_.size(); ++k)
                if (number == runningLines_[k])
                    paintArrow(painter, top, lineHeight, runningArrows[k % 2]);
        }
        block = block.next();
        top = bottom;
    }
}

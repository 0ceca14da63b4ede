#include "ProgramEdit.h"

#include "ProgramHighlighter.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QTextBlock>

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

private:
    ProgramEdit *editor_;
};

const QColor gutterBackground(0xf0, 0xf0, 0xf0);
const QColor gutterText(0x80, 0x80, 0x80);
const QColor failingBackground(0xd0, 0x20, 0x20);
const QColor runningArrow(0x10, 0x80, 0x30);
const QColor runningBackground(0xe2, 0xf4, 0xe2);

// A right-pointing arrow at the gutter's left edge, centred on the line.
void paintArrow(QPainter &painter, int top, int lineHeight)
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
    const int line = (lineNumber >= 1 && lineNumber <= blockCount()) ? lineNumber : 0;
    if (line == runningLine_)
        return;
    runningLine_ = line;
    // An extra selection paints the background without touching the
    // document, so the mark never counts as an edit.
    QList<QTextEdit::ExtraSelection> marks;
    if (line) {
        QTextEdit::ExtraSelection mark;
        mark.format.setBackground(runningBackground);
        mark.format.setProperty(QTextFormat::FullWidthSelection, true);
        mark.cursor = QTextCursor(document()->findBlockByNumber(line - 1));
        marks << mark;
    }
    setExtraSelections(marks);
    gutter_->update();
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
            } else {
                painter.setPen(gutterText);
            }
            painter.setFont(f);
            painter.drawText(0, top, width - 5, lineHeight, Qt::AlignRight | Qt::AlignVCenter,
                             QString::number(number));
            if (number == runningLine_)
                paintArrow(painter, top, lineHeight);
        }
        block = block.next();
        top = bottom;
    }
}

#include "Lamp.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

Lamp::Lamp(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Lamp::setColor(const QColor &c)
{
    color_ = c;
    update();
}

void Lamp::setLitState(int s)
{
    litState_ = s;
    update();
}

void Lamp::setState(int s)
{
    if (s == state_)
        return;
    state_ = s;
    update();
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int d = qMin(width(), height()) - 4;
    const QRectF r((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    p.setPen(QPen(QColor(80, 80, 80), 1));
    p.setBrush(isLit() ? color_ : color_.darker(400));
    p.drawEllipse(r);
    if (isLit()) {
        // A small highlight so "on" reads at a glance, even in grey scale.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 140));
        p.drawEllipse(QRectF(r.x() + d * 0.25, r.y() + d * 0.18, d * 0.3, d * 0.25));
    }
}

ClickArea::ClickArea(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_TranslucentBackground);
}

void ClickArea::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

void ClickArea::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        emit clicked();
    else
        QWidget::keyPressEvent(event);
}

void ClickArea::paintEvent(QPaintEvent *)
{
    if (!hasFocus())
        return;
    QPainter p(this);
    p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

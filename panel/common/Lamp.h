#pragma once

#include <QColor>
#include <QWidget>

// A small round indicator. It shows lit in its colour while its state equals
// `litState`, dark otherwise.
class Lamp : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)
    Q_PROPERTY(int litState READ litState WRITE setLitState)
    Q_PROPERTY(int state READ state WRITE setState)
public:
    explicit Lamp(QWidget *parent = nullptr);

    QColor color() const { return color_; }
    void setColor(const QColor &c);
    int litState() const { return litState_; }
    void setLitState(int s);
    int state() const { return state_; }
    // Repaints only when the state changes, so a steady poll costs nothing.
    void setState(int s);
    bool isLit() const { return state_ == litState_; }

    QSize sizeHint() const override { return {20, 20}; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor color_ = Qt::green;
    int litState_ = 1;
    int state_ = 0;
};

// A transparent area over a lamp that reacts to a click.
class ClickArea : public QWidget {
    Q_OBJECT
public:
    explicit ClickArea(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {20, 20}; }

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *) override;
};

#include "ui/PaintBox.h"

#include <QPainter>

TPaintBox::TPaintBox(int aWidth, int aHeight, QWidget* aParent)
    : QWidget(aParent), fSurface(aWidth, aHeight, QImage::Format_RGB32) {
    setFixedSize(aWidth, aHeight);
    fSurface.fill(ButtonFace());
}

QColor TPaintBox::ButtonFace() const {
    return palette().color(QPalette::Button);
}

void TPaintBox::SetPoint(int aX, int aY, TColour aColour) {
    if (aX < 0 || aY < 0 || aX >= fSurface.width() || aY >= fSurface.height()) return;
    fSurface.setPixel(aX, aY, aColour == pcBlack ? qRgb(0, 0, 0) : ButtonFace().rgb());
    update(aX, aY, 1, 1);
}

void TPaintBox::TextOut(int aX, int aY, const QString& aText) {
    QPainter painter(&fSurface);
    painter.setFont(font());
    const QRect box = painter.fontMetrics().boundingRect(aText).translated(aX, aY).adjusted(0, 0, 2, 0);
    const QRect at(aX, aY, box.width(), painter.fontMetrics().height());
    painter.fillRect(at, ButtonFace());
    painter.setPen(Qt::black);
    painter.drawText(at, Qt::AlignLeft | Qt::AlignTop, aText);
    update(at);
}

void TPaintBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, fSurface);
}

#include "gui/Widgets.h"

#include <QPainter>
#include <QStyleOptionSlider>
#include <QVBoxLayout>

#include <algorithm>

TUpDown::TUpDown(QWidget* aParent, const QString& aName, int aMin, int aMax, int aPosition)
    : QWidget(aParent), fMin(aMin), fMax(aMax), fPosition(std::clamp(aPosition, aMin, aMax)) {
    setObjectName(aName);
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(0);
    fUp = new QToolButton(this);
    fDown = new QToolButton(this);
    fUp->setArrowType(Qt::UpArrow);
    fDown->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {fUp, fDown}) {
        b->setFixedSize(16, 11);
        b->setAutoRepeat(true);
        l->addWidget(b);
    }
    QObject::connect(fUp, &QToolButton::clicked, this, [this] { Click(+1); });
    QObject::connect(fDown, &QToolButton::clicked, this, [this] { Click(-1); });
    setFixedSize(16, 22);
}

void TUpDown::SetPosition(int aPosition) {
    fPosition = std::clamp(aPosition, fMin, fMax);
}

void TUpDown::Click(int aDirection) {
    if (!isEnabled()) return;
    SetPosition(fPosition + aDirection);
    if (OnClick) OnClick(fPosition);
}

TClickLabel::TClickLabel(QWidget* aParent, const QString& aName, const QString& aCaption)
    : QLabel(aCaption, aParent) {
    setObjectName(aName);
    setCursor(Qt::PointingHandCursor);
}

void TClickLabel::mousePressEvent(QMouseEvent* e) {
    QLabel::mousePressEvent(e);
    if (OnClick) OnClick();
}

TTrackBar::TTrackBar(QWidget* aParent, const QString& aName) : QSlider(Qt::Horizontal, aParent) {
    setObjectName(aName);
    setRange(0, 100);
    setTickPosition(QSlider::TicksBelow);
    setTickInterval(10);
}

void TTrackBar::SetSelEnd(int aEnd) {
    fSelEnd = std::clamp(aEnd, 0, 100);
    update();
}

void TTrackBar::paintEvent(QPaintEvent* e) {
    QSlider::paintEvent(e);
    if (fSelEnd <= 0) return;
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const int x1 = groove.left() + (groove.width() * fSelEnd) / 100;
    QPainter p(this);
    p.fillRect(QRect(groove.left(), groove.center().y() - 1, x1 - groove.left(), 3), QColor(0, 90, 200));
}

TImageBox::TImageBox(QWidget* aParent, const QString& aName, int aWidth, int aHeight)
    : QWidget(aParent), fImage(aWidth, aHeight, QImage::Format_RGB32) {
    setObjectName(aName);
    fImage.fill(Qt::black);
    setFixedSize(aWidth, aHeight);
}

void TImageBox::Show(const TPixelMap& aMap) {
    for (int y = 0; y < std::min(aMap.Height, fImage.height()); ++y) {
        auto* row = reinterpret_cast<QRgb*>(fImage.scanLine(y));
        for (int x = 0; x < std::min(aMap.Width, fImage.width()); ++x)
            row[x] = 0xFF000000u | aMap.Pixels[size_t(y) * size_t(aMap.Width) + size_t(x)];
    }
    update();
}

void TImageBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, fImage);
}

TShape::TShape(QWidget* aParent, const QString& aName) : QFrame(aParent) {
    setObjectName(aName);
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);
    SetBrush(fRgb);
}

void TShape::SetBrush(uint32_t aRgb) {
    fRgb = aRgb;
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor::fromRgb(QRgb(0xFF000000u | aRgb)));
    setPalette(pal);
}

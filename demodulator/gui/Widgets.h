// Small controls the demodulator's windows need beyond the toolkit's own: an arrow control with
// an integer position, a label that can be clicked, a track bar that shows a selection, and an
// image box that shows a pixel map.
#pragma once

#include "app/Displays.h"

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QSlider>
#include <QToolButton>
#include <QWidget>

#include <functional>

// Up/down arrows with a position in Min..Max. A click moves the position by one within the range
// and calls OnClick; SetPosition moves it without calling.
class TUpDown : public QWidget {
  public:
    TUpDown(QWidget* aParent, const QString& aName, int aMin, int aMax, int aPosition);
    int Position() const { return fPosition; }
    int Min() const { return fMin; }
    int Max() const { return fMax; }
    void SetPosition(int aPosition);
    // What an operator's click does: +1 up, -1 down.
    void Click(int aDirection);
    std::function<void(int)> OnClick;

  private:
    QToolButton *fUp, *fDown;
    int fMin, fMax, fPosition;
};

class TClickLabel : public QLabel {
  public:
    TClickLabel(QWidget* aParent, const QString& aName, const QString& aCaption);
    std::function<void()> OnClick;

  protected:
    void mousePressEvent(QMouseEvent* e) override;
};

// Horizontal track bar 0..100 with a selection from 0 to SelEnd drawn under the groove.
class TTrackBar : public QSlider {
  public:
    TTrackBar(QWidget* aParent, const QString& aName);
    int SelEnd() const { return fSelEnd; }
    void SetSelEnd(int aEnd);

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    int fSelEnd = 0;
};

// Shows a pixel map 1:1.
class TImageBox : public QWidget {
  public:
    TImageBox(QWidget* aParent, const QString& aName, int aWidth, int aHeight);
    void Show(const TPixelMap& aMap);
    const QImage& Image() const { return fImage; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    QImage fImage;
};

// A filled shape (LockShape).
class TShape : public QFrame {
  public:
    TShape(QWidget* aParent, const QString& aName);
    void SetBrush(uint32_t aRgb);
    uint32_t Brush() const { return fRgb; }

  private:
    uint32_t fRgb = 0xFF0000;
};

// A fixed-size drawing surface for single pixels and text, kept in an image of its own so that
// what was drawn survives a repaint by the window system.
#pragma once

#include "ui/ConstallationUnit.h"

#include <QImage>
#include <QWidget>

class TPaintBox : public QWidget, public TPointCanvas {
  public:
    // The surface starts in the button-face colour of the widget's palette.
    TPaintBox(int aWidth, int aHeight, QWidget* aParent = nullptr);

    // Points outside the surface are ignored.
    void SetPoint(int aX, int aY, TColour aColour) override;
    // Black text with its top left corner at (aX, aY), on the button-face colour.
    void TextOut(int aX, int aY, const QString& aText);

    QColor ButtonFace() const;
    const QImage& Surface() const { return fSurface; }

  protected:
    void paintEvent(QPaintEvent* aEvent) override;

  private:
    QImage fSurface;
};

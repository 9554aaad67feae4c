// Shows a 24-bit picture of the core scaled into the widget with its proportions kept, from the
// top left corner. The scaled copy is made by Refresh (and on resizing), not on every repaint,
// because the pictures are large and may be guarded by a stage's lock.
#pragma once

#include "image/Bitmap24.h"
#include "platform/Threads.h"

#include <QImage>
#include <QWidget>

#include <functional>

class TImageView : public QWidget {
  public:
    explicit TImageView(QWidget* aParent = nullptr);

    // The picture shown; borrowed, may be null.
    void SetBitmap(const TBitmap24* aBitmap) { fBitmap = aBitmap; }
    const TBitmap24* Bitmap() const { return fBitmap; }
    // The lock that guards the picture at the moment of reading (null: none). Asked on every
    // Refresh, since the stage that guards a channel picture is created by a session.
    void SetGuard(std::function<TCriticalSection*()> aGuard) { fGuard = std::move(aGuard); }

    // Makes the scaled copy from the picture (under its guard) and repaints.
    void Refresh();
    const QImage& Scaled() const { return fScaled; }

  protected:
    void paintEvent(QPaintEvent* aEvent) override;
    void resizeEvent(QResizeEvent* aEvent) override;

  private:
    const TBitmap24* fBitmap = nullptr;
    std::function<TCriticalSection*()> fGuard;
    QImage fScaled;
};

#include "ui/ImageView.h"

#include <QPainter>

#include <mutex>

TImageView::TImageView(QWidget* aParent) : QWidget(aParent) {}

void TImageView::Refresh() {
    // Smooth scaling of a whole channel picture takes tens of milliseconds, too long to hold a
    // drawing stage's lock on every timer tick. Under the lock the picture is only sampled down to
    // three times the shown size; the smoothing of that small copy happens after the lock.
    QImage sampled;
    QSize shown;
    {
        TCriticalSection* guard = fGuard ? fGuard() : nullptr;
        std::unique_lock<TCriticalSection> lock;
        if (guard) lock = std::unique_lock<TCriticalSection>(*guard);
        if (fBitmap && fBitmap->Width() > 0 && fBitmap->Height() > 0 && width() > 0 && height() > 0) {
            // Wraps the rows without copying.
            const QImage picture(fBitmap->Bits(), fBitmap->Width(), fBitmap->Height(),
                                 fBitmap->BytesPerLine(), QImage::Format_BGR888);
            shown = picture.size().scaled(size(), Qt::KeepAspectRatio);
            const QSize between = (shown * 3).boundedTo(picture.size());
            sampled =
                between == picture.size() ? picture.copy() : picture.scaled(between, Qt::IgnoreAspectRatio);
        }
    }
    fScaled = sampled.isNull() || shown.isEmpty()
                  ? QImage()
                  : sampled.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    update();
}

void TImageView::paintEvent(QPaintEvent*) {
    if (fScaled.isNull()) return;
    QPainter painter(this);
    painter.drawImage(0, 0, fScaled);
}

void TImageView::resizeEvent(QResizeEvent*) {
    Refresh();
}

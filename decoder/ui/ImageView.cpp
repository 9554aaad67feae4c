#include "ui/ImageView.h"

#include <QPainter>

#include <mutex>

TImageView::TImageView(QWidget* aParent) : QWidget(aParent) {}

void TImageView::Refresh() {
    QImage scaled;
    {
        TCriticalSection* guard = fGuard ? fGuard() : nullptr;
        std::unique_lock<TCriticalSection> lock;
        if (guard) lock = std::unique_lock<TCriticalSection>(*guard);
        if (fBitmap && fBitmap->Width() > 0 && fBitmap->Height() > 0 && width() > 0 && height() > 0) {
            // Wraps the rows without copying; only the scaled result leaves the lock.
            const QImage picture(fBitmap->Bits(), fBitmap->Width(), fBitmap->Height(),
                                 fBitmap->BytesPerLine(), QImage::Format_BGR888);
            scaled = picture.scaled(size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
    }
    fScaled = scaled;
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

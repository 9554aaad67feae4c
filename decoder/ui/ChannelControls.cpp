#include "ui/ChannelControls.h"

TChannelBox::TChannelBox(const QString& aCaption, QWidget* aParent)
    : QGroupBox(aCaption, aParent), fCaption(aCaption.toStdString()) {}

void TChannelBox::SetCaption(const std::string& aCaption) {
    fCaption = aCaption;
    setTitle(QString::fromStdString(aCaption));
}

TChannelImage::TChannelImage(QWidget* aParent) : TImageView(aParent) {
    SetBitmap(&fPicture);
    hide();
}

void TChannelImage::SetVisible(bool aVisible) {
    const bool wasHidden = isHidden();
    setVisible(aVisible);
    if (aVisible && wasHidden) Refresh();
}

// The main window's controls of one imager channel as the drawing stage sees them: the group box
// that carries the progress caption and the image that shows the picture.
#pragma once

#include "image/ImageControls.h"
#include "ui/ImageView.h"

#include <QGroupBox>

#include <atomic>
#include <string>

// The group box. The drawing stage sets the tag from its own thread (only stored here); the
// caption is read and written on the window's thread.
class TChannelBox : public QGroupBox, public TProgressControl {
  public:
    TChannelBox(const QString& aCaption, QWidget* aParent = nullptr);

    std::string Caption() const override { return fCaption; }
    void SetCaption(const std::string& aCaption) override;
    int Tag() const override { return fTag.load(); }
    void SetTag(int aTag) override { fTag.store(aTag); }

  private:
    std::string fCaption;
    std::atomic<int> fTag{0};
};

// The image. It owns the channel picture for the whole program run (the drawing stage of a
// session sizes it and draws into it under the stage lock, which SetGuard names). Hidden until
// its channel first shows a picture.
class TChannelImage : public TImageView, public TImageControl {
  public:
    explicit TChannelImage(QWidget* aParent = nullptr);

    TBitmap24& Picture() override { return fPicture; }
    bool Visible() const override { return !isHidden(); }
    void SetVisible(bool aVisible) override;

  private:
    TBitmap24 fPicture;
};

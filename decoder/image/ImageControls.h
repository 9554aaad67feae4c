// What a channel drawing stage needs from the main window's controls, as interfaces of the core,
// so the stage runs the same headless (tests, batch decoder) and in the window.
#pragma once

#include "image/Bitmap24.h"

#include <array>
#include <string>

// The channel's progress display: a group box with a caption and an integer tag.
//
// Threads: the decoder sets the tag from the stage thread; caption and tag are otherwise used on
// the main thread. Every call is made while the stage's lock is held, so an implementation only
// stores the tag (it must not touch a widget in SetTag); the window applies the caption in
// SetCaption, which runs on its own thread.
class TProgressControl {
  public:
    virtual ~TProgressControl() = default;
    virtual std::string Caption() const = 0;
    virtual void SetCaption(const std::string& aCaption) = 0;
    // 1 marks a caption update as due; 0 means none is due.
    virtual int Tag() const = 0;
    virtual void SetTag(int aTag) = 0;
};

// The control that shows the channel picture. It owns the bitmap for the whole program run;
// the drawing stage writes into it under the stage lock, and the window reads it under the same
// lock. Visibility is changed on the main thread only.
class TImageControl {
  public:
    virtual ~TImageControl() = default;
    virtual TBitmap24& Picture() = 0;
    virtual bool Visible() const = 0;
    virtual void SetVisible(bool aVisible) = 0;
    // Whether the whole picture is shown, rows not yet decoded included (the window's control);
    // otherwise only rows the stage reports as decoded are ever looked at.
    virtual bool ShowsWholePicture() const { return true; }
};

// Headless progress display: keeps the caption and the tag.
class TCaptionProgress : public TProgressControl {
  public:
    explicit TCaptionProgress(std::string aCaption = {}) : fCaption(std::move(aCaption)) {}
    std::string Caption() const override { return fCaption; }
    void SetCaption(const std::string& aCaption) override { fCaption = aCaption; }
    int Tag() const override { return fTag; }
    void SetTag(int aTag) override { fTag = aTag; }

  private:
    std::string fCaption;
    int fTag = 0;
};

// Headless image control: owns a bitmap and a visibility flag (initially hidden, as in the window).
class TBitmapImage : public TImageControl {
  public:
    TBitmap24& Picture() override { return fPicture; }
    bool Visible() const override { return fVisible; }
    void SetVisible(bool aVisible) override { fVisible = aVisible; }
    bool ShowsWholePicture() const override { return false; }

  private:
    TBitmap24 fPicture;
    bool fVisible = false;
};

// The six channels' headless controls and the arrays of them a session takes. They must outlive
// the stage chain, whose drawing stages use them to the end; not copyable (the arrays point in).
struct THeadlessChannels {
    std::array<TCaptionProgress, 6> Captions;
    std::array<TBitmapImage, 6> Images;
    std::array<TProgressControl*, 6> Progress{};
    std::array<TImageControl*, 6> Image{};

    THeadlessChannels() {
        for (size_t i = 0; i < 6; ++i) {
            Progress[i] = &Captions[i];
            Image[i] = &Images[i];
        }
    }
    THeadlessChannels(const THeadlessChannels&) = delete;
    THeadlessChannels& operator=(const THeadlessChannels&) = delete;
};

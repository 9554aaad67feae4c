// The statistics window: the lines that describe the latest RGB composite.
#pragma once

#include <QPlainTextEdit>
#include <QWidget>

#include <string>
#include <vector>

class TStatForm : public QWidget {
  public:
    explicit TStatForm(QWidget* aParent = nullptr);

    void SetLines(const std::vector<std::string>& aLines);
    std::vector<std::string> Lines() const;

    QPlainTextEdit* StatMemo;
};

#include "ui/StatUnit.h"

#include <QVBoxLayout>

TStatForm::TStatForm(QWidget* aParent) : QWidget(aParent, Qt::Window) {
    setObjectName("StatForm");
    setWindowTitle("Statistic");
    StatMemo = new QPlainTextEdit(this);
    StatMemo->setObjectName("StatMemo");
    StatMemo->setReadOnly(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(StatMemo);
    resize(260, 120);
}

void TStatForm::SetLines(const std::vector<std::string>& aLines) {
    QStringList lines;
    for (const auto& line : aLines)
        lines << QString::fromStdString(line);
    StatMemo->setPlainText(lines.join(u'\n'));
}

std::vector<std::string> TStatForm::Lines() const {
    std::vector<std::string> lines;
    const QString text = StatMemo->toPlainText();
    if (text.isEmpty()) return lines;
    for (const QString& line : text.split(u'\n'))
        lines.push_back(line.toStdString());
    return lines;
}

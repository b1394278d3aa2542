#include "ui/window/window_font.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

QString ShownText(const QString& caption) {
  QString shown;
  shown.reserve(caption.size());
  for (qsizetype i = 0; i < caption.size(); ++i) {
    // "&x" underlines x and "&&" draws one '&'; a '&' at the end draws nothing.
    if (caption[i] == QLatin1Char('&')) {
      if (++i == caption.size()) break;
    }
    shown.append(caption[i]);
  }
  return shown;
}

Caption CaptionOf(const QLabel* label) {
  const int margin = label->margin();
  return {label->text(), label->contentsRect().adjusted(margin, margin, -margin, -margin).size()};
}

Caption CaptionOf(const QPushButton* button) {
  QStyleOptionButton option;
  option.initFrom(button);
  option.text = button->text();
  if (button->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
  if (button->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
  const QRect inside =
      button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
  return {button->text(), inside.size()};
}

Caption CaptionOf(const QGroupBox* frame, const QWidget* contents) {
  return {frame->title(), QSize(frame->width(), contents->y()), true};
}

bool CaptionFits(const QFont& font, const Caption& caption) {
  QFont drawn = font;
  if (caption.bold) drawn.setWeight(QFont::Bold);
  const QFontMetrics metrics(drawn);
  return metrics.horizontalAdvance(ShownText(caption.text)) + kCaptionMargin <=
             caption.room.width() &&
         metrics.height() <= caption.room.height();
}

QFont FittingFont(const QFont& desktop, const std::vector<Caption>& captions) {
  QFont font = desktop;
  // A desktop font given in pixels is measured in points like any other.
  double size = desktop.pointSizeF() > 0 ? desktop.pointSizeF() : QFontInfo(desktop).pointSizeF();
  const auto all_fit = [&] {
    font.setPointSizeF(size);
    for (const Caption& caption : captions) {
      if (!CaptionFits(font, caption)) return false;
    }
    return true;
  };
  while (!all_fit() && size - 0.5 >= kSmallestPointSize) size -= 0.5;
  return font;
}

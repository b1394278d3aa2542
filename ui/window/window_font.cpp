#include "ui/window/window_font.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <algorithm>

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

Caption CaptionOf(const QLineEdit* box) {
  // The option the box itself draws its frame with.
  QStyleOptionFrame option;
  option.initFrom(box);
  option.rect = box->contentsRect();
  option.lineWidth =
      box->hasFrame() ? box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box) : 0;
  option.state |= QStyle::State_Sunken;
  const QRect inside = box->style()->subElementRect(QStyle::SE_LineEditContents, &option, box);
  const QMargins text = box->textMargins();
  return {QString(), inside.marginsRemoved(text).size()};
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

QFont DesktopFont() {
  QFont font = QApplication::font();
  font.setResolveMask(QFont::AllPropertiesResolved);
  return font;
}

double FittingScale(const QFont& font,
                    const std::function<std::vector<Caption>(double scale)>& captions_at) {
  // The fit only improves as the scale grows (every room is a rounded multiple
  // of it, less a border of fixed width), and the steps are few: try them in turn.
  const int steps = static_cast<int>((kLargestScale - 1) / kScaleStep);
  for (int step = 0; step < steps; ++step) {
    const double scale = 1 + step * kScaleStep;
    const std::vector<Caption> captions = captions_at(scale);
    const bool all_fit = std::all_of(captions.begin(), captions.end(), [&](const Caption& caption) {
      return CaptionFits(font, caption);
    });
    if (all_fit) return scale;
  }
  return kLargestScale;
}

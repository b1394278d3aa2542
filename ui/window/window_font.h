// The window's one font. The layout's sizes are fixed, so the font is chosen
// to suit them: the desktop's font family, at the largest size no larger than
// the desktop's at which every caption fits its control.
#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <vector>

class QGroupBox;
class QLabel;
class QPushButton;
class QWidget;

// A caption and the room its control has for it, in device-independent pixels.
struct Caption {
  QString text;  // as the control holds it: "&&" is a literal '&', a lone '&' is not drawn
  QSize room;
  bool bold = false;  // drawn in the bold variant of the window's font
};

// The text a caption shows: its access-key markers removed.
QString ShownText(const QString& caption);

// The room each kind of control leaves its caption. A button's is the area
// inside its bevel, as the style draws it; a frame's is the band above
// `contents`, the widget that holds the frame's controls.
Caption CaptionOf(const QLabel* label);
Caption CaptionOf(const QPushButton* button);
Caption CaptionOf(const QGroupBox* frame, const QWidget* contents);

// Whether `caption`, in `font` (bold when the caption is), fits its room with
// kCaptionMargin pixels to spare across, split between its two sides.
inline constexpr int kCaptionMargin = 2;
bool CaptionFits(const QFont& font, const Caption& caption);

// `desktop`'s family at the largest size that makes every caption fit: its
// own point size, or smaller in steps of half a point. It never goes below
// kSmallestPointSize (captions may then be cut), and never above the desktop's
// size.
inline constexpr double kSmallestPointSize = 6.0;
QFont FittingFont(const QFont& desktop, const std::vector<Caption>& captions);

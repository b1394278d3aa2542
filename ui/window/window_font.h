// The window's one font and the scale of its layout. The window draws its
// text in the desktop's font at the desktop's size; when that font is too
// large for the layout's captions, the layout grows (every twip becomes more
// pixels, as on a screen of higher resolution) rather than the text shrinking.
#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <functional>
#include <vector>

class QGroupBox;
class QLabel;
class QLineEdit;
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
// `contents`, the widget that holds the frame's controls. A text box has no
// caption but must show one line of its text whole: its caption is empty and
// its room the area inside its border.
Caption CaptionOf(const QLabel* label);
Caption CaptionOf(const QPushButton* button);
Caption CaptionOf(const QGroupBox* frame, const QWidget* contents);
Caption CaptionOf(const QLineEdit* box);

// Whether `caption`, in `font` (bold when the caption is), fits its room with
// kCaptionMargin pixels to spare across, split between its two sides.
inline constexpr int kCaptionMargin = 2;
bool CaptionFits(const QFont& font, const Caption& caption);

// The desktop's font as the window draws with it: the application's font,
// with every property marked as set, so that each control inside the window
// takes it whole (a platform theme's font for one kind of control included).
QFont DesktopFont();

// The layout's scales are 1, 1 + kScaleStep, 1 + 2 kScaleStep, ... up to
// kLargestScale; each is exact in binary, so a scale times a length in twips
// rounds the same wherever it is computed.
inline constexpr double kScaleStep = 1.0 / 64;
inline constexpr double kLargestScale = 8.0;

// The smallest of those scales at which every caption fits in `font`.
// `captions_at(s)` lays the controls out at scale s and gives their captions
// there. kLargestScale when no scale makes them all fit (captions are then cut).
double FittingScale(const QFont& font,
                    const std::function<std::vector<Caption>(double scale)>& captions_at);

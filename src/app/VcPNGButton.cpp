#include "VcPNGButton.h"

#include "PNGComponent.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include <algorithm>

namespace corvane {

namespace {

// Width of the picture's right cap that ImageWidthAdjust keeps at the edge.
constexpr int kRightCap = 15;
// Gap between ImgAt and the caption.
constexpr int kImgAtGap = 4;

TVcPNGButton::MessageHook& Hook() {
    static TVcPNGButton::MessageHook hook;
    return hook;
}

void ShowMessage(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

TVcPNGButton::TVcPNGButton(QWidget* parent) : QAbstractButton(parent) {
    // The button paints every pixel itself: no background erase before paint.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // Hover is tracked from move events, which need tracking without a button.
    setMouseTracking(true);
    // Reached with Tab; a click leaves the focus where it was (on the grid,
    // where the keys pick calls).
    setFocusPolicy(Qt::TabFocus);
    resize(30, 30);
}

TVcPNGButton::~TVcPNGButton() = default;

void TVcPNGButton::SetMessageHook(MessageHook hook) {
    Hook() = std::move(hook);
}

void TVcPNGButton::SetCaption(const QString& caption) {
    setText(caption); // QAbstractButton also grabs the mnemonic here
    UpdateShortcut();
    update();
}

void TVcPNGButton::UpdateShortcut() {
    // A literal caption has no accelerator.
    setShortcut(FInterpretPrefix ? QKeySequence::mnemonic(text()) : QKeySequence());
}

QColor TVcPNGButton::Color() const {
    return FColor.isValid() ? FColor : palette().color(QPalette::Button);
}

void TVcPNGButton::SetColor(const QColor& color) {
    FColor = color;
    update();
}

void TVcPNGButton::SetDownColor(const QColor& color) {
    FDownColor = color;
    update();
}

void TVcPNGButton::SetDown(bool down) {
    FDown = down;
    update();
}

void TVcPNGButton::SetDrawFocusRect(bool draw) {
    FDrawFocusRect = draw;
    update();
}

void TVcPNGButton::SetInterpretPrefix(bool interpret) {
    FInterpretPrefix = interpret;
    UpdateShortcut();
    update();
}

void TVcPNGButton::SetImg(int index, TPNGComponent* img) {
    FImgs[static_cast<size_t>(index)] = img;
    update();
}

void TVcPNGButton::SetImgAt(const QImage& image) {
    FImgAt = image.copy();
    update();
}

void TVcPNGButton::SetImageWidthAdjust(bool adjust) {
    FImageWidthAdjust = adjust;
    update();
}

void TVcPNGButton::SetLoadFromResource(int id) {
    if (id == FLoadFromResource)
        return;
    FLoadFromResource = id;
    FResImgs = {};
    FUseResources = id != 0;
    if (FUseResources) {
        for (int i = 0; i < 3; ++i) {
            // 64-bit so that ids near the top of the range do not overflow.
            const qint64 resId = static_cast<qint64>(id) + i;
            QImage image;
            if (!image.load(QStringLiteral(":/res/%1.png").arg(resId), "PNG")) {
                ShowMessage(this, QStringLiteral("Failed to load images from resource."));
                break;
            }
            FResImgs[static_cast<size_t>(i)] =
                image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        }
    }
    update();
}

int TVcPNGButton::ShownIndex() const {
    if (FDown)
        return ImgIndexClick;
    if (FPressed)
        return FHover ? ImgIndexClick : ImgIndexNormal;
    return FHover ? ImgIndexOver : ImgIndexNormal;
}

const QImage* TVcPNGButton::Picture(int index) const {
    const auto i = static_cast<size_t>(index);
    if (FUseResources)
        return &FResImgs[i];
    return FImgs[i] ? &FImgs[i]->Image() : nullptr;
}

void TVcPNGButton::paintEvent(QPaintEvent* /*event*/) {
    // Everything goes to the off-screen picture first and reaches the widget
    // in one copy, so moving the pointer over the button does not flicker.
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = size() * dpr;
    if (FBuffer.size() != pixels) {
        FBuffer = QPixmap(pixels);
        FBuffer.setDevicePixelRatio(dpr);
    }
    RenderTo(FBuffer);
    QPainter painter(this);
    painter.drawPixmap(0, 0, FBuffer);
}

void TVcPNGButton::DrawStatePicture(QPainter& p, const QImage& picture) const {
    if (!FImageWidthAdjust) {
        p.drawImage(0, 0, picture);
        return;
    }
    // Three clipped strips: the picture's left part, its middle part, and its
    // right cap aligned with the button's right edge.
    const int w = width();
    const int h = height();
    const int pw = picture.width();
    const auto strip = [&](int x0, int x1, int at) {
        if (x1 <= x0)
            return;
        p.save();
        p.setClipRect(QRect(x0, 0, x1 - x0, h));
        p.drawImage(at, 0, picture);
        p.restore();
    };
    if (pw < w) {
        strip(0, pw - kRightCap, 0);
        // The middle strip shows the picture's middle part (without its 15-pixel
        // ends). One copy covers buttons up to 2 * pw - 30 wide; wider buttons
        // repeat it rather than showing the right cap and then a gap.
        const int middle = pw - 2 * kRightCap;
        const int end = w - kRightCap;
        if (middle <= 0) {
            strip(pw - kRightCap, end, middle);
        } else {
            for (int x = pw - kRightCap; x < end; x += middle)
                strip(x, std::min(x + middle, end), x - kRightCap);
        }
    } else {
        strip(0, w - kRightCap, 0);
    }
    strip(w - kRightCap, w, w - pw);
}

void TVcPNGButton::RenderTo(QPixmap& target) {
    const int w = width();
    const int h = height();
    QPainter p(&target);
    p.fillRect(QRect(0, 0, w, h), Color());

    const int index = ShownIndex();
    if (const QImage* picture = Picture(index); picture && !picture->isNull())
        DrawStatePicture(p, *picture);

    if (FDrawFocusRect && hasFocus()) {
        // A dotted frame around the whole button, like the platform's focus rectangle.
        QPen pen(Qt::black);
        pen.setDashPattern({1, 1});
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRect(0, 0, w - 1, h - 1));
    }

    QColor textColor = palette().color(QPalette::ButtonText);
    if (!isEnabled())
        textColor = QColor(0x80, 0x80, 0x80);
    int offset = 0;
    if (index == ImgIndexClick) {
        textColor = FDownColor;
        offset = 1;
    }

    const QString caption = text();
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine |
                      (FInterpretPrefix ? Qt::TextShowMnemonic : 0);
    const QFontMetrics metrics(font());
    const QSize textSize =
        caption.isEmpty() ? QSize(0, metrics.height()) : metrics.size(flags, caption);
    const bool hasImgAt = !FImgAt.isNull();
    const int total = textSize.width() + (hasImgAt ? FImgAt.width() + kImgAtGap : 0);
    int left = (w - total) / 2 + offset;
    if (hasImgAt) {
        p.drawImage(left, (h - FImgAt.height()) / 2 + offset, FImgAt);
        left += FImgAt.width() + kImgAtGap;
    }
    if (!caption.isEmpty()) {
        const int top = (h - textSize.height()) / 2 + offset;
        p.setFont(font());
        p.setPen(textColor);
        p.drawText(QRect(left, top, w - left, h - top), flags, caption);
    }
}

void TVcPNGButton::mouseMoveEvent(QMouseEvent* event) {
    if (isEnabled()) {
        // Edges included: a pointer at x == width or y == height is still over
        // the button (it can be seen there while the button holds the mouse).
        const QPointF pos = event->position();
        const bool inside =
            pos.x() >= 0 && pos.x() <= width() && pos.y() >= 0 && pos.y() <= height();
        if (inside != FHover) {
            FHover = inside;
            update();
        }
    }
    QAbstractButton::mouseMoveEvent(event);
}

void TVcPNGButton::mousePressEvent(QMouseEvent* event) {
    if (isEnabled() && event->button() == Qt::LeftButton) {
        FPressed = true;
        update();
    }
    QAbstractButton::mousePressEvent(event);
}

void TVcPNGButton::mouseReleaseEvent(QMouseEvent* event) {
    const bool released = isEnabled() && FPressed && event->button() == Qt::LeftButton;
    if (released) {
        // Cleared before the click handlers run, so a dialog they open does
        // not find the button still drawn pressed.
        FPressed = false;
        update();
    }
    // The ordinary click comes first; its handler may disable or delete us.
    QPointer<TVcPNGButton> self(this);
    QAbstractButton::mouseReleaseEvent(event);
    if (self && released && FHover && isEnabled())
        emit click2();
}

void TVcPNGButton::leaveEvent(QEvent* event) {
    FHover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void TVcPNGButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled()) {
            FPressed = false;
            FHover = false;
        }
        update();
    }
}

void TVcPNGButton::focusInEvent(QFocusEvent* event) {
    QAbstractButton::focusInEvent(event);
    update();
}

void TVcPNGButton::focusOutEvent(QFocusEvent* event) {
    QAbstractButton::focusOutEvent(event);
    update();
}

} // namespace corvane

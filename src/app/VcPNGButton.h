#pragma once

// A push button that draws itself entirely from pictures with transparency:
// one while idle, one while the pointer is over it and one while the left
// button holds it down (or while Down is set). Used on the main window's
// toolbar. All members are for the GUI thread only.

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QPixmap>

#include <array>
#include <functional>

class QPainter;

namespace corvane {

class TPNGComponent;

class TVcPNGButton : public QAbstractButton {
    Q_OBJECT

public:
    // Picture indexes, also the order of the resource ids v, v + 1, v + 2.
    enum : int { ImgIndexNormal = 0, ImgIndexClick = 1, ImgIndexOver = 2 };

    explicit TVcPNGButton(QWidget* parent = nullptr);
    ~TVcPNGButton() override;

    // Text drawn on the button. With InterpretPrefix, "&x" underlines x and
    // makes Alt+x click the button; "&&" is a literal "&".
    QString Caption() const { return text(); }
    void SetCaption(const QString& caption);

    // Background behind the pictures; invalid (the default) means the
    // palette's button colour.
    QColor Color() const;
    void SetColor(const QColor& color);

    // Caption colour while the click picture is shown.
    QColor DownColor() const { return FDownColor; }
    void SetDownColor(const QColor& color);

    // Shows the click picture permanently.
    bool Down() const { return FDown; }
    void SetDown(bool down);

    bool DrawFocusRect() const { return FDrawFocusRect; }
    void SetDrawFocusRect(bool draw);

    bool InterpretPrefix() const { return FInterpretPrefix; }
    void SetInterpretPrefix(bool interpret);

    // Pictures by reference; the button never owns or frees them.
    TPNGComponent* ImgNormal() const { return FImgs[ImgIndexNormal]; }
    void SetImgNormal(TPNGComponent* img) { SetImg(ImgIndexNormal, img); }
    TPNGComponent* ImgClick() const { return FImgs[ImgIndexClick]; }
    void SetImgClick(TPNGComponent* img) { SetImg(ImgIndexClick, img); }
    TPNGComponent* ImgOver() const { return FImgs[ImgIndexOver]; }
    void SetImgOver(TPNGComponent* img) { SetImg(ImgIndexOver, img); }

    // Optional small picture left of the caption; the button keeps a copy.
    const QImage& ImgAt() const { return FImgAt; }
    void SetImgAt(const QImage& image);

    // Stretches the state picture to the button's width, keeping its right
    // 15 pixels at the right edge (a picture with a fixed right cap).
    bool ImageWidthAdjust() const { return FImageWidthAdjust; }
    void SetImageWidthAdjust(bool adjust);

    // Not 0: the three state pictures come from the resources ":/res/<id>.png"
    // with id = v, v + 1, v + 2 instead of the references. 0: references again.
    int LoadFromResource() const { return FLoadFromResource; }
    void SetLoadFromResource(int id);

    bool Hovering() const { return FHover; }
    bool Pressed() const { return FPressed; }
    // The picture index a paint would use now.
    int ShownIndex() const;

    // Where the resource-loading failure message goes. An empty hook restores
    // the default (a message box titled with the application name).
    using MessageHook = std::function<void(QWidget* parent, const QString& text)>;
    static void SetMessageHook(MessageHook hook);

signals:
    // The left button was released while the pointer was over the button.
    // clicked() is the ordinary click (mouse or space key) and comes first.
    void click2();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void SetImg(int index, TPNGComponent* img);
    const QImage* Picture(int index) const;
    void RenderTo(QPixmap& target);
    void DrawStatePicture(QPainter& p, const QImage& picture) const;
    void UpdateShortcut();

    QColor FColor;
    QColor FDownColor{0, 0, 0};
    bool FDown = false;
    bool FDrawFocusRect = true;
    bool FInterpretPrefix = true;
    std::array<TPNGComponent*, 3> FImgs{};
    QImage FImgAt;
    bool FImageWidthAdjust = false;
    int FLoadFromResource = 0;
    // Present only while LoadFromResource is not 0; a failed load leaves an
    // empty picture, which draws nothing.
    bool FUseResources = false;
    std::array<QImage, 3> FResImgs;

    bool FHover = false;
    bool FPressed = false;
    QPixmap FBuffer; // off-screen picture, sized at paint time
};

} // namespace corvane

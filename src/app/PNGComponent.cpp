#include "PNGComponent.h"

namespace corvane {

TPNGComponent::TPNGComponent(QObject* parent) : QObject(parent) {}

void TPNGComponent::SetImage(const QImage& image) {
    // Premultiplied alpha is what QPainter blends fastest; the conversion also
    // detaches, so later changes to the caller's image do not reach us.
    FImage = image.isNull() ? QImage() : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    FImage.detach();
}

bool TPNGComponent::LoadFromFile(const QString& path) {
    QImage image;
    if (!image.load(path, "PNG"))
        return false;
    SetImage(image);
    return true;
}

} // namespace corvane

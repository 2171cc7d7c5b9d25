#pragma once

// A non-visual holder of one PNG picture (with alpha). Picture buttons refer
// to these; several buttons may share one, and the holder outlives them.

#include <QImage>
#include <QObject>
#include <QString>

namespace corvane {

class TPNGComponent : public QObject {
    Q_OBJECT

public:
    explicit TPNGComponent(QObject* parent = nullptr);

    const QImage& Image() const { return FImage; }
    // Copies `image`; a null image empties the holder.
    void SetImage(const QImage& image);

    // Reads a PNG file or a Qt resource (":/res/..."). On failure the picture
    // stays as it was and false is returned.
    bool LoadFromFile(const QString& path);

private:
    QImage FImage;
};

} // namespace corvane

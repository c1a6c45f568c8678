// corva_mkicon <logo.bmp> <icon.png>: the desktop icon, the logo's emblem cut square and
// scaled to 128 x 128 (icon themes take PNG, not BMP).
#include <QImage>

#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: corva_mkicon <logo.bmp> <icon.png>\n";
        return 2;
    }
    const QImage logo(QString::fromLocal8Bit(argv[1]));
    if (logo.isNull()) {
        std::cerr << "corva_mkicon: cannot read " << argv[1] << "\n";
        return 1;
    }
    const int side = std::min(logo.width(), logo.height());
    const QImage icon = logo.copy(0, 0, side, side).scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!icon.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::cerr << "corva_mkicon: cannot write " << argv[2] << "\n";
        return 1;
    }
    return 0;
}

#include "platform/appkit/qt/drag_and_drop.hpp"

#include <QBuffer>
#include <QDrag>
#include <QImage>
#include <QUrl>

namespace platform::appkit::qt {

namespace pf = platform::foundation;

namespace {

pf::Data toData(const QByteArray& bytes) {
    return pf::Data(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                    reinterpret_cast<const std::uint8_t*>(bytes.constData()) + bytes.size());
}

QByteArray toBytes(const pf::Data& data) {
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
}

}  // namespace

void readMimeData(const QMimeData& mime, Pasteboard& pasteboard) {
    pasteboard.clearContents();
    if (mime.hasFormat(QStringLiteral("image/tiff")))
        pasteboard.setData(toData(mime.data(QStringLiteral("image/tiff"))), pasteboardTypeTIFF);
    if (mime.hasFormat(QStringLiteral("image/png"))) {
        pasteboard.setData(toData(mime.data(QStringLiteral("image/png"))), pasteboardTypePNG);
    } else if (!mime.hasFormat(QStringLiteral("image/tiff")) && mime.hasImage()) {
        const auto image = qvariant_cast<QImage>(mime.imageData());
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        if (!image.isNull() && image.save(&buffer, "PNG")) pasteboard.setData(toData(bytes), pasteboardTypePNG);
    }
    if (mime.hasUrls()) {
        std::vector<pf::URL> urls;
        for (const auto& url : mime.urls())
            if (url.isLocalFile()) urls.push_back(pf::URL::fileURL(url.toLocalFile().toStdString()));
        if (!urls.empty()) pasteboard.writeFileURLs(urls);
    }
    if (mime.hasFormat(QString::fromLatin1(imageInputMimeType)))
        pasteboard.setData(toData(mime.data(QString::fromLatin1(imageInputMimeType))), imageInputPasteboardTypeName);
    if (mime.hasText()) pasteboard.setString(mime.text().toStdString(), pasteboardTypeString);
}

std::unique_ptr<Pasteboard> pasteboardFromMimeData(const QMimeData& mime) {
    auto pasteboard = std::make_unique<Pasteboard>("drag");
    readMimeData(mime, *pasteboard);
    return pasteboard;
}

QMimeData* mimeDataFromPasteboard(const Pasteboard& pasteboard) {
    auto* mime = new QMimeData;
    for (const auto& type : pasteboard.types()) {
        if (type == pasteboardTypePNG) {
            mime->setData(QStringLiteral("image/png"), toBytes(*pasteboard.dataForType(type)));
        } else if (type == pasteboardTypeTIFF) {
            mime->setData(QStringLiteral("image/tiff"), toBytes(*pasteboard.dataForType(type)));
        } else if (type == imageInputPasteboardTypeName) {
            mime->setData(QString::fromLatin1(imageInputMimeType), toBytes(*pasteboard.dataForType(type)));
        } else if (type == pasteboardTypeString) {
            mime->setText(QString::fromStdString(pasteboard.stringForType(type).value_or("")));
        }
    }
    if (const auto urls = pasteboard.readFileURLs()) {
        QList<QUrl> list;
        for (const auto& url : *urls) list.push_back(QUrl::fromLocalFile(QString::fromStdString(url.path())));
        mime->setUrls(list);
    }
    return mime;
}

Qt::DropAction startDrag(QWidget* source, const Pasteboard& pasteboard) {
    auto* drag = new QDrag(source);
    drag->setMimeData(mimeDataFromPasteboard(pasteboard));
    // Qt cannot tell the target's application apart; our own views take a move from their
    // own source, and other applications are offered the copy first.
    return drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
}

}  // namespace platform::appkit::qt

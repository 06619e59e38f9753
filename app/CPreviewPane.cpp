#include "CPreviewPane.h"

#include "RowPlan.h"

#include "BatchList.h"
#include "BrowseTiles.h"
#include "CRaster.h"
#include "Colour.h"
#include "Colours.h"
#include "FormatTable.h"
#include "ImageType.h"
#include "Orientation.h"
#include "OutputNaming.h"
#include "ResizeTarget.h"
#include "RowEncode.h"
#include "RowShortcuts.h"
#include "RowFrames.h"
#include "RowTransforms.h"
#include "PixelRows.h"
#include "Transparency.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <new>

// The picture, scaled to fit and centred, or the reason there is none.
class CPreviewPicture : public QWidget {
public:
    explicit CPreviewPicture(QWidget* parent) : QWidget(parent) {
        setMinimumSize(64, 64);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    }
    void Show(const QImage& image, const QString& message, const QRect& stamp) {
        image_ = image;
        message_ = message;
        stamp_ = stamp;
        update();
    }
    const QImage& Image() const { return image_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (image_.isNull()) {
            p.setPen(message_.isEmpty() ? ReadableOn(palette().color(QPalette::PlaceholderText), palette().color(QPalette::Window))
                                        : ErrorText(palette(), QPalette::Window));
            p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                       message_.isEmpty() ? tr("Select an image to see it here.") : message_);
            return;
        }
        QSize size = image_.size();
        if (size.width() > width() || size.height() > height()) size.scale(this->size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(target, image_);
        p.setPen(QColor(192, 192, 192));
        p.drawRect(target.adjusted(0, 0, -1, -1));
        if (!stamp_.isEmpty()) {
            // Marked, since a small stamp on a shrunk picture hardly shows.
            const double f = double(size.width()) / image_.width();
            const QRectF mark(target.x() + stamp_.x() * f - 2, target.y() + stamp_.y() * f - 2,
                              stamp_.width() * f + 4, stamp_.height() * f + 4);
            // On the picture, whatever the palette: a line needs 3:1 against
            // the light checkerboard and most photos' light areas.
            p.setPen(QPen(ReadableOn(QColor(220, 0, 0), Qt::white, 3.0), 1, Qt::DashLine));
            p.drawRect(mark.intersected(QRectF(target).adjusted(0, 0, -1, -1)));
        }
    }

private:
    QImage image_;
    QString message_;
    QRect stamp_;
};

// The check box and the facts, scrolled when the pane is too low for them
// (150% scaling on a 1080-line screen, the report open). It asks for the
// height its text needs at its width, so the picture gives way first, but
// can go down to a line or two, so the pane never needs more than before.
class CPreviewFacts : public QScrollArea {
public:
    explicit CPreviewFacts(QWidget* parent) : QScrollArea(parent) {
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        // Not a stop of its own: Tab goes to the check box inside.
        setFocusPolicy(Qt::NoFocus);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }
    // Beside the picture, as wide as the longest line unwrapped: a wrapped
    // line costs a line of height, which is what a wide, low pane lacks.
    void SetTextWidth(int width) {
        textWidth_ = width;
        updateGeometry();
    }
    QSize sizeHint() const override {
        if (!widget()) return QScrollArea::sizeHint();
        const QSize inner = widget()->sizeHint();
        const int bar = verticalScrollBar()->sizeHint().width();
        const int w = width() > 0 ? width() - bar : inner.width();
        const int h = widget()->hasHeightForWidth() ? widget()->heightForWidth(std::max(w, 1)) : inner.height();
        return {std::max(inner.width(), textWidth_) + bar, h};
    }
    QSize minimumSizeHint() const override {
        return {QScrollArea::minimumSizeHint().width(), 2 * fontMetrics().height()};
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QScrollArea::resizeEvent(event);
        // A wrapped text needs another height at another width.
        if (event->size().width() != event->oldSize().width()) updateGeometry();
    }

private:
    int textWidth_ = 0;
};

struct CPreviewPane::Result {
    int generation = 0;
    QImage picture;
    QString error;
    QStringList facts; // "label\tvalue"
    QString outputName;
    QSize outputSize;
    QString outputBytes; // the file's predicted size and what the run says of it
    QString outputFrames; // ", 12 frames" when the run writes several
    QRect stamp; // in the picture's pixels, empty without a stamp
};

namespace {

constexpr int kPictureSide = 1600;

QString Tr(const char* text) { return QCoreApplication::translate("CPreviewPane", text); }

QString FileSizeText(qint64 bytes) { return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat); }

QString Dpi(const CRaster& image) {
    const int x = image.GetResolutionX(), y = image.GetResolutionY();
    if (x <= 0 && y <= 0) return Tr("not given");
    return x == y ? Tr("%1 dpi").arg(x) : Tr("%1 x %2 dpi").arg(x).arg(y);
}

QString Depth(const CRaster& image) {
    QString depth = Tr("%1 bits").arg(image.GetBitsPerPixel());
    if (image.HasAlpha()) depth += Tr(", alpha");
    else if (HasTransparency(image)) depth += Tr(", transparent colour");
    return depth;
}

QString Profile(const CRaster& image) {
    const ImageMetadata* metadata = image.Metadata();
    if (!metadata || metadata->icc.empty()) return Tr("none");
    const std::string name = ProfileDescription(metadata->icc);
    return name.empty() ? Tr("unreadable") : QString::fromStdString(name);
}

// Where the stamp's pixels are (top row 0): the differences it made.
QRect ChangedPixels(const CRaster& before, const CRaster& after) {
    if (before.GetWidth() != after.GetWidth() || before.GetHeight() != after.GetHeight()) return {};
    const int64_t w = after.GetWidth(), h = after.GetHeight();
    int64_t left = w, right = -1, top = h, bottom = -1;
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            const RGBQUAD a = before.ReadColor(x, y, false), b = after.ReadColor(x, y, false);
            if (a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue) continue;
            const int64_t row = h - 1 - y;
            left = std::min(left, x), right = std::max(right, x), top = std::min(top, row), bottom = std::max(bottom, row);
        }
    return right < 0 ? QRect() : QRect(int(left), int(top), int(right - left + 1), int(bottom - top + 1));
}

// The run's steps; the stamp, last of them, applied on its own so that the
// pixels it changed show where it lands.
QRect ApplyTransformsFindingStamp(CRaster& image, const PreviewInputs& in) {
    OperationSettings steps = in.settings;
    steps.stampEnabled = 0;
    ApplyRowTransforms(image, steps, in.options);
    if (!in.settings.stampEnabled) return {};
    const CRaster before(image);
    OperationSettings stampOnly = in.settings;
    stampOnly.rotateEnabled = 0;
    stampOnly.resizeEnabled = 0;
    RunOptions options = in.options;
    options.autoRotate = false;
    options.crop = CropOption{};
    options.border = BorderOption{};
    options.watermark.enabled = false;
    ApplyRowTransforms(image, stampOnly, options);
    return ChangedPixels(before, image);
}

QString StampPlacement(const QRect& stamp, uint32_t width, uint32_t height) {
    if (stamp.isEmpty()) return Tr("nothing of it shows on the picture");
    QString where = Tr("%1 x %2 pixels at %3, %4").arg(stamp.width()).arg(stamp.height()).arg(stamp.x()).arg(stamp.y());
    QStringList edges;
    if (stamp.left() <= 0) edges << Tr("left");
    if (stamp.right() >= int(width) - 1) edges << Tr("right");
    if (stamp.top() <= 0) edges << Tr("top");
    if (stamp.bottom() >= int(height) - 1) edges << Tr("bottom");
    if (!edges.isEmpty()) where += Tr("; it reaches the %1 edge and may be cut").arg(edges.join(Tr(" and ")));
    return where;
}

// The output file's size as the run would write it: the row's shortcut or
// its encoding, a copy of the prepared picture encoded in memory. Without
// the output's pixels (a reduced decode) only a shortcut can tell; nor can
// the first picture tell the size of a file of several.
QString PredictBytes(const std::string& file, ImageType type, ImageType saveType,
                     const CRaster& prepared, const LoadedFacts& facts, const PreviewInputs& in,
                     bool outputPixels, bool pictures) {
    RowBytes bytes = RowShortcut(file, type, saveType, in.settings, in.options);
    if (!bytes.ready && pictures) return Tr("file size not estimated from the first picture");
    if (!bytes.ready && !outputPixels) return Tr("file size not estimated from the reduced preview");
    if (!bytes.ready) {
        CRaster copy(prepared);
        const bool onlyEncoding = OnlyEncodingChanges(facts, copy, saveType, in.settings, in.options);
        bytes = EncodeRow(copy, saveType, in.options, onlyEncoding, file);
    }
    if (!bytes.ready) return Tr("not written: %1").arg(QString::fromStdString(bytes.error));
    return QString::fromStdString(FormatFileSize(bytes.bytes.size()) + bytes.note);
}

// The largest power of two, up to 8, by which a w x h picture may be
// reduced while decoding and still be at least need on both sides.
uint8_t DecodeScale(uint32_t w, uint32_t h, QSize need) {
    uint8_t scale = 1;
    while (scale < 8 && w / (scale * 2u) >= uint32_t(need.width()) && h / (scale * 2u) >= uint32_t(need.height()))
        scale = uint8_t(scale * 2);
    return scale;
}

// What the picture must keep for the preview: the area it is shown in, or,
// shown as saved and resized, the output's size (a stamp on an output of the
// input's size needs every pixel). Sides are the stored picture's.
QSize NeededSize(uint32_t w, uint32_t h, const PreviewInputs& in, bool showOutput, QSize area, QSize output) {
    if (showOutput && in.settings.resizeEnabled) {
        const int side = std::max(output.width(), output.height());
        return QSize(side, side);
    }
    if (showOutput && in.settings.stampEnabled) return QSize(int(w), int(h));
    // Either orientation may end up upright: the longer side decides.
    const QSize fitted = QSize(int(std::max(w, h)), int(std::min(w, h))).scaled(area, Qt::KeepAspectRatio);
    const int side = std::max(fitted.width(), fitted.height());
    return QSize(side, side).boundedTo(QSize(int(std::max(w, h)), int(std::max(w, h))));
}

// Everything off the GUI thread: decode, facts, naming, the picture. The
// size comes from the headers and the pixels are decoded only at the scale
// the area (or the output) needs.
CPreviewPane::Result MakePreview(const QString& path, const PreviewInputs& in, bool showOutput, QSize area) {
    CPreviewPane::Result r;
    const std::string file = path.toStdString();
    const ImageType type = ImageTypeFromExtension(file);
    r.facts << Tr("File size:\t%1").arg(FileSizeText(QFileInfo(path).size()));
    if (type == kTypeUnknown) {
        r.error = Tr("Cannot read %1: not a type this program reads.").arg(QFileInfo(path).fileName());
        return r;
    }
    try {
        CRaster header(type);
        uint32_t fullW = 0, fullH = 0;
        const bool sized = LoadFileAsked(header, file, type, DecodeRequest::Header()) &&
                           header.GetWidth() > 0;
        if (sized) UprightSize(header, &fullW, &fullH);
        const QSize output = sized ? PredictOutputSize(header, in.settings, in.options) : QSize();
        CRaster image;
        DecodeRequest request;
        if (sized && type == kTypeJpeg)
            request.scale = DecodeScale(header.GetWidth(), header.GetHeight(),
                                        NeededSize(header.GetWidth(), header.GetHeight(), in, showOutput, area, output));
        if (!LoadFileAsked(image, file, type, request) || !image.HasPixels()) {
            const char* why = image.LastErrorText();
            r.error = Tr("Cannot read %1: %2").arg(QFileInfo(path).fileName(), *why ? why : Tr("not an image"));
            return r;
        }
        const ImageFormat* format = FindImageFormat(image.GetImageType() ? image.GetImageType() : type);
        uint32_t w = fullW, h = fullH;
        if (!sized || image.GetWidth() == header.GetWidth()) UprightSize(image, &w, &h);
        r.facts.prepend(Tr("Colour profile:\t%1").arg(Profile(image)));
        r.facts.prepend(Tr("Resolution:\t%1").arg(Dpi(image)));
        r.facts.prepend(Tr("Depth:\t%1").arg(Depth(image)));
        r.facts.prepend(Tr("Size:\t%1 x %2 pixels").arg(w).arg(h));
        r.facts.prepend(Tr("Type:\t%1").arg(format ? format->name : "?"));
        // As the run names it: the name template's subfolders are shown too.
        const RowNaming naming = NameRow(in.settings, in.options, file, type, {in.row, {}});
        const OutputStem& stem = naming.stem;
        const std::string outputPath = naming.error.empty() ? FirstFreeName(stem) : ExactName(stem);
        const std::string base = OutputFolder(in.settings, file);
        r.outputName = QString::fromStdString(outputPath.rfind(base, 0) == 0 ? outputPath.substr(base.size()) : outputPath);
        r.outputSize = sized ? output : PredictOutputSize(image, in.settings, in.options);
        // An animation or a TIFF of several pages shows its first picture.
        const int frames = image.GetNumFrames();
        const bool pages = image.GetImageType() == kTypeTiff;
        if (frames > 1) r.facts << Tr("Pictures:\t%1").arg(FrameCountText(frames, pages));
        const int written = FramesWritten(frames, image.GetImageType(), stem.saveType, in.options);
        if (written > 1) r.outputFrames = ", " + FrameCountText(written, pages);
        QRect stamp;
        if (showOutput) {
            const bool reducedDecode = request.scale > 1;
            const LoadedFacts facts = FactsOf(image, reducedDecode);
            PreviewInputs reduced = in;
            // Decoded smaller: resized to the output's size outright, which a
            // percentage or "never enlarge" would no longer give.
            if (image.GetWidth() != header.GetWidth() && in.settings.resizeEnabled) {
                reduced.settings.resizeMode = kResizeFixed;
                reduced.settings.targetWidth = r.outputSize.width();
                reduced.settings.targetHeight = r.outputSize.height();
                reduced.options.onlyShrink = false;
            }
            stamp = ApplyTransformsFindingStamp(image, reduced);
            PrepareForSave(image, stem.saveType, in.settings, in.options);
            // A smaller decode holds the output's pixels only when resized to them.
            const bool outputPixels = !reducedDecode || in.settings.resizeEnabled;
            r.outputBytes =
                PredictBytes(file, type, stem.saveType, image, facts, in, outputPixels, written > 1);
        } else {
            TurnUpright(image);
        }
        if (in.settings.stampEnabled && showOutput)
            r.facts << Tr("Stamp:\t%1").arg(StampPlacement(stamp, image.GetWidth(), image.GetHeight()));
        r.picture = RenderPreview(image, kPictureSide);
        DrawFrameBadge(r.picture, frames, pages);
        if (!stamp.isEmpty()) {
            const double f = double(r.picture.width()) / image.GetWidth();
            r.stamp = QRectF(stamp.x() * f, stamp.y() * f, stamp.width() * f, stamp.height() * f).toAlignedRect();
        }
    } catch (const std::bad_alloc&) {
        r.error = Tr("Cannot show %1: out of memory.").arg(QFileInfo(path).fileName());
    }
    return r;
}

} // namespace

QSize PredictOutputSize(const CRaster& image, const OperationSettings& settings, const RunOptions& options) {
    uint32_t w = image.GetWidth(), h = image.GetHeight();
    if (options.autoRotate) UprightSize(image, &w, &h);
    if (const auto crop = ComputeCropWindow(w, h, options.crop, options.anchor)) w = crop->window.width, h = crop->window.height;
    if (settings.rotateEnabled && (settings.rotation == kRotate90 || settings.rotation == kRotate270))
        std::swap(w, h);
    if (settings.resizeEnabled)
        if (const auto shape = ComputeResizeShape(w, h, settings, options)) w = shape->Width(), h = shape->Height();
    w += 2 * uint32_t(std::max(0, options.border.width)), h += 2 * uint32_t(std::max(0, options.border.width));
    return QSize(int(w), int(h));
}

QImage RenderPreview(CRaster& image, int maxSide) {
    const double scale = std::min(1.0, double(maxSide) / std::max(image.GetWidth(), image.GetHeight()));
    const int w = std::max(1, int(image.GetWidth() * scale)), h = std::max(1, int(image.GetHeight() * scale));
    CDeviceBitmap bitmap(w, h);
    bitmap.Fill(MakeColorRef(255, 255, 255));
    CMemoryDevice dc;
    dc.SelectBitmap(&bitmap);
    image.DrawToDevice(&dc, 0, 0, w, h, SRCCOPY);
    ShowTransparency(bitmap, image, 0, 0, w, h);
    return QImage(bitmap.Bits(), w, h, bitmap.Stride(), QImage::Format_RGB32).copy();
}

CPreviewPane::CPreviewPane(QWidget* parent) : QWidget(parent) {
    setObjectName("preview");
    pool_.setMaxThreadCount(1);
    layout_ = new QBoxLayout(QBoxLayout::TopToBottom, this);
    layout_->setContentsMargins(4, 4, 4, 4);
    picture_ = new CPreviewPicture(this);
    layout_->addWidget(picture_, 1);
    facts_ = new CPreviewFacts(this);
    auto* side = new QWidget(facts_);
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    showOutput_ = new QCheckBox(tr("Show as the run would save it"), side);
    showOutput_->setObjectName("preview-output");
    showOutput_->setAccessibleDescription(tr("Rotation, resize and stamp as the current settings would apply them"));
    showOutput_->setToolTip(tr("Rotation, resize and stamp as the current settings would apply them"));
    showOutput_->setChecked(true);
    connect(showOutput_, &QCheckBox::toggled, this, [this] { Start(); });
    sideLayout->addWidget(showOutput_);
    info_ = new QLabel(side);
    info_->setObjectName("preview-info");
    info_->setAccessibleName(tr("Image facts"));
    info_->setAccessibleDescription(tr("Type, size, depth, resolution, file size and colour profile of the image, "
                                       "and the output the settings would make"));
    info_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    info_->setWordWrap(true);
    sideLayout->addWidget(info_);
    sideLayout->addStretch(1);
    facts_->setWidget(side);
    layout_->addWidget(facts_);
    refresh_ = new QTimer(this);
    refresh_->setSingleShot(true);
    refresh_->setInterval(250);
    connect(refresh_, &QTimer::timeout, this, &CPreviewPane::Start);
}

// Wide and low, as the centre is on a small screen: the facts go beside the
// picture instead of under it.
void CPreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layout_->setDirection(width() > height() * 3 / 2 ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
}

CPreviewPane::~CPreviewPane() {
    ++generation_;
    pool_.clear();
    pool_.waitForDone();
}

void CPreviewPane::ShowFile(const QString& path) {
    if (path == path_) return;
    path_ = path;
    Start();
}

void CPreviewPane::SettingsChanged() {
    if (!path_.isEmpty()) refresh_->start();
}

void CPreviewPane::SetShowOutput(bool on) { showOutput_->setChecked(on); }

bool CPreviewPane::ShowsOutput() const { return showOutput_->isChecked(); }

bool CPreviewPane::IsBusy() const { return pending_ > 0 || refresh_->isActive(); }

const QImage& CPreviewPane::Picture() const { return picture_->Image(); }

QString CPreviewPane::InfoText() const { return infoLines_.join('\n'); }

// Only the newest request is shown; older ones still running are dropped
// when they come back.
void CPreviewPane::Start() {
    refresh_->stop();
    const int generation = ++generation_;
    if (path_.isEmpty()) {
        Result nothing;
        nothing.generation = generation;
        Apply(nothing);
        return;
    }
    const PreviewInputs in = inputs ? inputs(path_) : PreviewInputs{};
    const QString path = path_;
    const bool showOutput = showOutput_->isChecked();
    const QSize area = picture_->size() * picture_->devicePixelRatioF();
    // Queued requests that are no longer the newest end at once.
    ++pending_;
    // The destructor waits for the pool, so this outlives the job; an answer
    // still queued when it goes is dropped with it.
    pool_.start([this, path, in, showOutput, generation, area] {
        if (generation != generation_) {
            QMetaObject::invokeMethod(this, [this] { --pending_; }, Qt::QueuedConnection);
            return;
        }
        Result r = MakePreview(path, in, showOutput, area);
        r.generation = generation;
        QMetaObject::invokeMethod(this, [this, r] {
            --pending_;
            Apply(r);
        }, Qt::QueuedConnection);
    });
}

void CPreviewPane::Apply(const Result& r) {
    if (r.generation != generation_) return;
    picture_->Show(r.picture, r.error, r.stamp);
    outputName_ = r.outputName;
    outputSize_ = r.outputSize;
    QString html = "<table>";
    infoLines_.clear();
    auto row = [this, &html](const QString& label, const QString& value) {
        html += "<tr><td>" + label.toHtmlEscaped() + "</td><td>&nbsp;" + value.toHtmlEscaped() + "</td></tr>";
        infoLines_ << label + ' ' + value;
    };
    if (!path_.isEmpty()) row(tr("File:"), QFileInfo(path_).fileName());
    for (const QString& fact : r.facts) row(fact.section('\t', 0, 0), fact.section('\t', 1));
    if (!r.outputName.isEmpty())
        row(tr("Output:"), tr("%1, %2 x %3 pixels").arg(r.outputName).arg(r.outputSize.width()).arg(r.outputSize.height()) +
                               r.outputFrames +
                               (r.outputBytes.isEmpty() ? QString() : tr(", %1").arg(r.outputBytes)));
    info_->setText(path_.isEmpty() ? QString() : html + "</table>");
    QTextDocument unwrapped;
    unwrapped.setDefaultFont(info_->font());
    unwrapped.setDocumentMargin(0);
    unwrapped.setHtml(info_->text());
    facts_->SetTextWidth(int(std::ceil(unwrapped.idealWidth())) + 2 * info_->margin());
    emit updated();
}

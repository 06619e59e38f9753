#include "OptionsDialog.h"

#include "Colours.h"
#include "DialogFit.h"
#include "NameTemplate.h"
#include "OperationSettings.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGuiApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

// Every value a name table of RunOptions knows: past its end the name
// function gives the first name again.
template <class Enum> QList<Enum> KnownValues(const char* (*name)(Enum)) {
    QList<Enum> values{Enum(0)};
    for (int i = 1; i < 64 && QByteArray(name(Enum(i))) != name(Enum(0)); ++i) values.push_back(Enum(i));
    return values;
}

QString ResampleText(ResampleFilter filter) {
    switch (filter) {
    case ResampleFilter::kNearest: return QObject::tr("Nearest pixel (fast, as designed)");
    case ResampleFilter::kSmooth: return QObject::tr("Smooth");
    }
    return QString::fromLatin1(ResampleFilterName(filter));
}

QString MetadataText(MetadataMode mode) {
    switch (mode) {
    case MetadataMode::kKeepAll: return QObject::tr("Keep all");
    case MetadataMode::kKeepAllButLocation: return QObject::tr("Keep all but the location");
    case MetadataMode::kStripAll: return QObject::tr("Strip all");
    }
    return QString::fromLatin1(MetadataModeName(mode));
}

QString SubsamplingText(ChromaSubsampling s) {
    switch (s) {
    case ChromaSubsampling::k420: return QObject::tr("4:2:0 (smallest, as the library)");
    case ChromaSubsampling::k422: return QObject::tr("4:2:2");
    case ChromaSubsampling::k444: return QObject::tr("4:4:4 (full colour resolution)");
    }
    return QString::fromLatin1(SubsamplingName(s));
}

QString TurnText(JpegTurnEdges edges) {
    switch (edges) {
    case JpegTurnEdges::kTrim: return QObject::tr("Without re-encoding; trim partial edge blocks");
    case JpegTurnEdges::kReEncode: return QObject::tr("Without re-encoding where every pixel stays (default)");
    case JpegTurnEdges::kOff: return QObject::tr("Always decode and re-encode (as designed)");
    }
    return QString::fromLatin1(JpegTurnEdgesName(edges));
}

QString FilterText(PngFilter f) {
    return f == PngFilter::kAdaptive ? QObject::tr("adaptive (per row)") : QString::fromLatin1(PngFilterName(f));
}

QString PaletteText(PaletteMode mode) {
    return mode == PaletteMode::kFixed ? QObject::tr("Fixed 256 colours (as designed)")
                                       : QObject::tr("Made for each picture (best for photos)");
}

QString OnExistsText(OnExists mode) {
    switch (mode) {
    case OnExists::kNewName: return QObject::tr("Give the new file another name (_001)");
    case OnExists::kSkip: return QObject::tr("Skip the row: it is done");
    case OnExists::kReplace: return QObject::tr("Replace the old file");
    }
    return QString::fromLatin1(OnExistsName(mode));
}

QString DateSourceText(DateSource source) {
    switch (source) {
    case DateSource::kFile: return QObject::tr("The input's modification time");
    case DateSource::kExif: return QObject::tr("The photo's date taken (Exif), else the file's");
    }
    return QString::fromLatin1(DateSourceName(source));
}

template <class Enum> void Fill(QComboBox* combo, const char* (*name)(Enum), QString (*text)(Enum)) {
    for (Enum value : KnownValues(name)) combo->addItem(text(value), int(value));
}

void Select(QComboBox* combo, int value) { combo->setCurrentIndex(std::max(0, combo->findData(value))); }

QSpinBox* Spin(int lo, int hi, const QString& suffix) {
    auto* spin = new QSpinBox;
    spin->setRange(lo, hi);
    spin->setSuffix(suffix);
    return spin;
}

// For screen readers, and the same words as the tooltip. A control beside
// a label is named by it unless accessible says otherwise.
void Describe(QWidget* control, const QString& accessible, const QString& description) {
    if (!accessible.isEmpty()) control->setAccessibleName(accessible);
    control->setAccessibleDescription(description);
    control->setToolTip(description);
}

} // namespace

OptionsDialog::OptionsDialog(const RunOptions& options, QWidget* parent) : QDialog(parent) {
    setObjectName("options-dialog");
    setWindowTitle(tr("Options"));
    auto* outer = new QVBoxLayout(this);
    // The groups are taller than a 1280 x 800 screen's work area with some
    // styles and fonts: what does not fit scrolls. The area itself takes no
    // focus, and scrolls to the control Tab moves to.
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("options-scroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidgetResizable(true);
    auto* content = new QWidget;
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);
    auto* columns = new QHBoxLayout(content);
    columns->setContentsMargins(0, 0, 0, 0);
    auto* left = new QVBoxLayout;
    auto* right = new QVBoxLayout;
    columns->addLayout(left);
    columns->addLayout(right);
    // Made in reading order, down the left column and then the right, which
    // makes it the Tab order.
    left->addWidget(MakeResizeGroup(content));
    left->addWidget(MakePhotoGroup(content));
    left->addWidget(MakeOutputGroup(content));
    left->addWidget(MakeNamingGroup(content));
    left->addStretch();
    right->addWidget(MakeShapeGroup(content));
    right->addWidget(MakeEncodingGroup(content));
    right->addStretch();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::RestoreDefaults, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            [this] { Show(RunOptions{}); });
    buttons->button(QDialogButtonBox::RestoreDefaults)
        ->setAccessibleDescription(tr("Every option here back to its default"));
    buttons->button(QDialogButtonBox::Ok)->setAccessibleDescription(tr("Keep these options for the next run"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleDescription(tr("Close, keeping the options as they were"));
    outer->addWidget(buttons);
    Show(options);
    FitTitle(this);
    FitScreen(scroll);
}

// As large as the groups want, within the screen's work area.
void OptionsDialog::FitScreen(QScrollArea* scroll) {
    const QWidget* near = parentWidget() ? parentWidget() : this;
    const QScreen* where = near->screen() ? near->screen() : QGuiApplication::primaryScreen();
    if (!where) return;
    // The window manager's frame is not known before the dialog shows.
    const QSize room = where->availableGeometry().size() - QSize(16, 48);
    QSize want = scroll->widget()->sizeHint() + (sizeHint() - scroll->sizeHint());
    if (want.height() > room.height()) want.rwidth() += scroll->verticalScrollBar()->sizeHint().width();
    resize(want.boundedTo(room).expandedTo(QSize(minimumWidth(), 0)));
}

QGroupBox* OptionsDialog::MakeResizeGroup(QWidget* parent) {
    auto* resize = new QGroupBox(tr("Resize"), parent);
    auto* resizeForm = new QFormLayout(resize);
    resample_ = new QComboBox;
    resample_->setObjectName("resample");
    Fill(resample_, &ResampleFilterName, &ResampleText);
    resizeForm->addRow(tr("Resampling:"), resample_);
    Describe(resample_, tr("Resampling"), tr("How a resize samples: nearest pixel keeps exact colours, smooth keeps detail"));
    onlyShrink_ = new QCheckBox(tr("Never enlarge: smaller images keep their size"));
    onlyShrink_->setObjectName("only-shrink");
    resizeForm->addRow(onlyShrink_);
    Describe(onlyShrink_, {}, tr("Images already smaller than the target keep their size and pixels"));
    longestSide_ = Spin(kSpinMin, kSpinMax, tr(" pixels"));
    longestSide_->setObjectName("longest-side");
    resizeForm->addRow(tr("\"Longest Side\":"), longestSide_);
    Describe(longestSide_, tr("Longest side"), tr("The longer side of the outputs when the resize kind is Longest Side"));
    percent_ = Spin(kPercentMin, kPercentMax, tr(" %"));
    percent_->setObjectName("percent");
    resizeForm->addRow(tr("\"Percent\":"), percent_);
    Describe(percent_, tr("Percent"), tr("Both sides of the outputs, in percent, when the resize kind is Percent"));
    return resize;
}

QGroupBox* OptionsDialog::MakePhotoGroup(QWidget* parent) {
    auto* photos = new QGroupBox(tr("Photos and metadata"), parent);
    auto* photoForm = new QFormLayout(photos);
    autoRotate_ = new QCheckBox(tr("Turn photos upright by their camera orientation"));
    autoRotate_->setObjectName("auto-rotate");
    photoForm->addRow(autoRotate_);
    Describe(autoRotate_, {}, tr("Photos are turned as the camera's orientation tag says before the other steps"));
    metadata_ = new QComboBox;
    metadata_->setObjectName("metadata");
    Fill(metadata_, &MetadataModeName, &MetadataText);
    photoForm->addRow(tr("Exif, XMP, IPTC, colour profile:"), metadata_);
    Describe(metadata_, tr("Metadata"), tr("What the outputs keep of the inputs' Exif, XMP, IPTC and colour profile"));
    background_ = new QPushButton;
    background_->setObjectName("background");
    connect(background_, &QPushButton::clicked, this, [this] {
        const QColor chosen = QColorDialog::getColor(
            QColor(RedOf(backgroundColour_), GreenOf(backgroundColour_), BlueOf(backgroundColour_)), this,
            tr("Background Colour"), QColorDialog::DontUseNativeDialog);
        if (!chosen.isValid()) return;
        backgroundColour_ = MakeColorRef(uint8_t(chosen.red()), uint8_t(chosen.green()), uint8_t(chosen.blue()));
        ShowBackground();
    });
    photoForm->addRow(tr("Transparency flattened onto:"), background_);
    Describe(background_, tr("Background colour"),
             tr("See-through pixels are blended onto this colour where the output cannot hold them"));
    return photos;
}

QGroupBox* OptionsDialog::MakeOutputGroup(QWidget* parent) {
    auto* output = new QGroupBox(tr("Output and run"), parent);
    auto* outputForm = new QFormLayout(output);
    lossless_ = new QCheckBox(tr("Lossless where the format has it (WEBP, AVIF, JXL)"));
    lossless_->setObjectName("lossless");
    outputForm->addRow(lossless_);
    Describe(lossless_, {}, tr("WEBP, AVIF and JXL outputs keep every pixel; the quality is not used for them"));
    frames_ = new QComboBox;
    frames_->setObjectName("frames");
    frames_->addItem(tr("Every frame or page (GIF, WEBP, TIF outputs)"), int(FrameChoice::kAll));
    frames_->addItem(tr("The first only"), int(FrameChoice::kFirst));
    outputForm->addRow(tr("Animations, TIFF pages:"), frames_);
    Describe(frames_, tr("Frames and pages"), tr("What a run takes of an animation or a TIFF of several pages"));
    page_ = Spin(0, kPageMax, QString());
    page_->setObjectName("page");
    page_->setSpecialValueText(tr("all pages"));
    outputForm->addRow(tr("TIFF page taken:"), page_);
    Describe(page_, tr("TIFF page"), tr("The one page of a TIFF a run takes, from 1; all pages at 0"));
    threads_ = Spin(0, kThreadsMax, QString());
    threads_->setObjectName("threads");
    threads_->setSpecialValueText(tr("one per core"));
    outputForm->addRow(tr("Images at once:"), threads_);
    Describe(threads_, tr("Images at once"), tr("How many images a run works on at once; 0 is one per processor core"));
    strict_ = new QCheckBox(tr("Fail images that would lose something (no warnings, nothing written)"));
    strict_->setObjectName("strict");
    outputForm->addRow(strict_);
    Describe(strict_, {}, tr("An image that would be saved with warnings fails instead, and nothing is written"));
    onExists_ = new QComboBox;
    onExists_->setObjectName("on-exists");
    Fill(onExists_, &OnExistsName, &OnExistsText);
    outputForm->addRow(tr("When the output's name exists:"), onExists_);
    Describe(onExists_, tr("When the output's name exists"), tr("Another name, skip the row, or replace the old file"));
    keepDates_ = new QCheckBox(tr("Outputs keep their input's date"));
    keepDates_->setObjectName("keep-dates");
    outputForm->addRow(keepDates_);
    Describe(keepDates_, {}, tr("Each output gets its input's date instead of the time it was written"));
    dateFrom_ = new QComboBox;
    dateFrom_->setObjectName("date-from");
    Fill(dateFrom_, &DateSourceName, &DateSourceText);
    outputForm->addRow(tr("Date kept:"), dateFrom_);
    Describe(dateFrom_, tr("Date kept"), tr("The file's modification time, or the photo's date taken"));
    connect(keepDates_, &QCheckBox::toggled, dateFrom_, &QWidget::setEnabled);
    return output;
}

QGroupBox* OptionsDialog::MakeNamingGroup(QWidget* parent) {
    auto* naming = new QGroupBox(tr("Names"), parent);
    auto* namingForm = new QFormLayout(naming);
    name_ = new QLineEdit;
    name_->setObjectName("name-template");
    name_->setPlaceholderText(tr("as Rename says: prefix and series, or the input's name"));
    Describe(name_, tr("Name template"), tr("Tokens make the name; \"/\" makes subfolders inside the output folder"));
    auto* tokens = new QPushButton(tr("Insert"));
    tokens->setObjectName("name-tokens");
    Describe(tokens, tr("Insert a token"), tr("Puts a token such as the date taken or the camera model into the name"));
    auto* menu = new QMenu(tokens);
    const std::pair<const char*, const char*> kTokens[] = {
        {"{name}", QT_TR_NOOP("Input name")},
        {"{ext}", QT_TR_NOOP("Input extension")},
        {"{n:5}", QT_TR_NOOP("Series number, 5 digits")},
        {"{n}", QT_TR_NOOP("Series number")},
        {"{date:%Y-%m-%d}", QT_TR_NOOP("Date taken (else the file's date)")},
        {"{date:%Y}/{date:%m}/", QT_TR_NOOP("Folders by year and month")},
        {"{date:%Y%m%d-%H%M%S}", QT_TR_NOOP("Date and time taken")},
        {"{exif:Model}", QT_TR_NOOP("Camera model")},
        {"{exif:Make}", QT_TR_NOOP("Camera maker")},
        {"{w}", QT_TR_NOOP("Output width")},
        {"{h}", QT_TR_NOOP("Output height")},
        {"{folder}", QT_TR_NOOP("Input's folder name")},
    };
    for (const auto& [token, text] : kTokens) {
        const QString t = QString::fromLatin1(token);
        menu->addAction(tr("%1\t%2").arg(tr(text), t), this, [this, t] { name_->insert(t); });
    }
    tokens->setMenu(menu);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(name_, 1);
    nameRow->addWidget(tokens);
    namingForm->addRow(tr("Name:"), nameRow);
    nameProblem_ = new QLabel;
    nameProblem_->setObjectName("name-problem");
    QPalette problemColours = nameProblem_->palette();
    problemColours.setColor(QPalette::WindowText, ErrorText(problemColours, QPalette::Window));
    nameProblem_->setPalette(problemColours);
    nameProblem_->setWordWrap(true);
    namingForm->addRow(nameProblem_);
    connect(name_, &QLineEdit::textChanged, this, &OptionsDialog::CheckName);
    return naming;
}

void OptionsDialog::Show(const RunOptions& o) {
    base_ = o;
    Select(resample_, int(o.resample));
    onlyShrink_->setChecked(o.onlyShrink);
    longestSide_->setValue(o.longestSide);
    percent_->setValue(o.percent);
    autoRotate_->setChecked(o.autoRotate);
    Select(metadata_, int(o.metadata));
    backgroundColour_ = o.background;
    ShowBackground();
    lossless_->setChecked(o.lossless);
    Select(frames_, int(o.frames));
    page_->setValue(o.page);
    threads_->setValue(o.threads);
    jpegOptimize_->setChecked(o.encode.jpegOptimize);
    jpegProgressive_->setChecked(o.encode.jpegProgressive);
    Select(jpegSubsampling_, int(o.encode.jpegSubsampling));
    Select(jpegTurn_, int(o.jpegTurn));
    pngLevel_->setValue(o.encode.pngLevel);
    Select(pngFilter_, int(o.encode.pngFilter));
    pngReduce_->setChecked(o.encode.pngReduce);
    zopfli_->setChecked(o.encode.zopfli);
    Select(palette_, int(o.palette));
    dither_->setChecked(o.paletteDither);
    maxSize_->setValue(int(std::min<int64_t>(o.maxSize / 1000, maxSize_->maximum())));
    neverLarger_->setChecked(o.neverLarger);
    crop_->setText(QString::fromStdString(CropText(o.crop)));
    border_->setText(QString::fromStdString(BorderText(o.border)));
    watermark_->setChecked(o.watermark.enabled);
    watermarkFile_->setText(QString::fromStdString(o.watermark.file));
    Select(watermarkAnchor_, int(o.watermark.anchor));
    watermarkMargin_->setValue(o.watermark.margin);
    watermarkScale_->setValue(o.watermark.scale);
    watermarkOpacity_->setValue(o.watermark.opacity);
    watermarkTile_->setChecked(o.watermark.tile);
    strict_->setChecked(o.strict);
    Select(onExists_, int(o.onExists));
    keepDates_->setChecked(o.keepDates);
    Select(dateFrom_, int(o.dateFrom));
    dateFrom_->setEnabled(o.keepDates);
    name_->setText(QString::fromStdString(o.nameTemplate));
    CheckName();
}

// A template that would write outside the output folder cannot be taken.
void OptionsDialog::CheckName() {
    const std::string text = name_->text().toStdString();
    const QString problem = text.empty() ? QString() : QString::fromStdString(NameTemplateProblem(text));
    nameProblem_->setText(problem);
    nameProblem_->setVisible(!problem.isEmpty());
    if (ok_) ok_->setEnabled(problem.isEmpty());
}

QGroupBox* OptionsDialog::MakeEncodingGroup(QWidget* parent) {
    auto* group = new QGroupBox(tr("Encoding"), parent);
    auto* form = new QFormLayout(group);
    auto check = [&](const char* name, const QString& text, const QString& description) {
        auto* box = new QCheckBox(text);
        box->setObjectName(name);
        form->addRow(box);
        Describe(box, {}, description);
        return box;
    };
    auto combo = [&](const char* name, const QString& label, const QString& accessible, const QString& description) {
        auto* box = new QComboBox;
        box->setObjectName(name);
        form->addRow(label, box);
        Describe(box, accessible, description);
        return box;
    };
    jpegOptimize_ = check("jpeg-optimize", tr("JPG: tables made for each picture (smaller, same pixels)"),
                          tr("Huffman tables made for each JPG: a smaller file, the same pixels, a slower save"));
    jpegProgressive_ = check("jpeg-progressive", tr("JPG: progressive"),
                             tr("JPG files that show coarse first while they load"));
    jpegSubsampling_ = combo("jpeg-subsampling", tr("JPG colour resolution:"), tr("JPG colour resolution"),
                             tr("How much colour detail a JPG keeps beside the brightness"));
    Fill(jpegSubsampling_, &SubsamplingName, &SubsamplingText);
    jpegTurn_ = combo("jpeg-turn", tr("JPG only turned:"), tr("JPG only turned"),
                      tr("How a JPG that is only rotated is written: turned without re-encoding where possible"));
    Fill(jpegTurn_, &JpegTurnEdgesName, &TurnText);
    pngLevel_ = Spin(kPngLevelMin, kPngLevelMax, QString());
    pngLevel_->setObjectName("png-level");
    form->addRow(tr("PNG compression level:"), pngLevel_);
    Describe(pngLevel_, tr("PNG compression level"), tr("6 is fast; 7 to 9 also try a full search and keep the smaller file"));
    pngFilter_ = combo("png-filter", tr("PNG row filter:"), tr("PNG row filter"),
                       tr("The filter PNG rows are written with before compression"));
    Fill(pngFilter_, &PngFilterName, &FilterText);
    pngReduce_ = check("png-reduce", tr("PNG: at most 256 colours or greys written as such (exact)"),
                       tr("A picture of at most 256 colours or of greys is written with a palette or as grey, every pixel kept"));
    zopfli_ = check("zopfli", tr("PNG: compress with zopfli (smallest, many times slower)"),
                    tr("The smallest PNG files, at many times the time"));
    palette_ = combo("palette", tr("GIF, TIF and 8-bit PNG palette:"), tr("Palette"),
                     tr("The 256 colours GIF, TIF and 8-bit PNG outputs are reduced to"));
    Fill(palette_, &PaletteModeName, &PaletteText);
    dither_ = check("dither", tr("Diffuse the error of a palette made for the picture"),
                    tr("Spreads what a made palette misses over neighbouring pixels"));
    maxSize_ = Spin(0, 1000000, tr(" KB"));
    maxSize_->setObjectName("max-size");
    maxSize_->setSpecialValueText(tr("no limit"));
    form->addRow(tr("Largest file:"), maxSize_);
    Describe(maxSize_, tr("Largest file"),
             tr("JPG, WEBP, AVIF and JXL files are written at the highest quality that fits; "
                "other types are written whole, with a warning when over"));
    neverLarger_ = check("never-larger", tr("Keep the input when only the encoding changes and it is smaller"),
                         tr("An output that would be larger than its input, only re-encoded, is the input's bytes instead"));
    return group;
}

// Fields this dialog does not show keep their values.
RunOptions OptionsDialog::Options() const {
    RunOptions o = base_;
    o.resample = ResampleFilter(resample_->currentData().toInt());
    o.onlyShrink = onlyShrink_->isChecked();
    o.longestSide = longestSide_->value();
    o.percent = percent_->value();
    o.autoRotate = autoRotate_->isChecked();
    o.metadata = MetadataMode(metadata_->currentData().toInt());
    o.background = backgroundColour_;
    o.lossless = lossless_->isChecked();
    o.frames = FrameChoice(frames_->currentData().toInt());
    o.page = page_->value();
    o.threads = threads_->value();
    o.encode.jpegOptimize = jpegOptimize_->isChecked();
    o.encode.jpegProgressive = jpegProgressive_->isChecked();
    o.encode.jpegSubsampling = ChromaSubsampling(jpegSubsampling_->currentData().toInt());
    o.jpegTurn = JpegTurnEdges(jpegTurn_->currentData().toInt());
    o.encode.pngLevel = int8_t(pngLevel_->value());
    o.encode.pngFilter = PngFilter(pngFilter_->currentData().toInt());
    o.encode.pngReduce = pngReduce_->isChecked();
    o.encode.zopfli = zopfli_->isChecked();
    o.palette = PaletteMode(palette_->currentData().toInt());
    o.paletteDither = dither_->isChecked();
    // A budget set in bytes elsewhere stays as it is unless the box changed it.
    if (maxSize_->value() != int(std::min<int64_t>(base_.maxSize / 1000, maxSize_->maximum())))
        o.maxSize = int64_t(maxSize_->value()) * 1000;
    o.neverLarger = neverLarger_->isChecked();
    // Texts that do not parse keep the values the dialog was opened with.
    const std::string crop = crop_->text().trimmed().toStdString();
    if (crop.empty() || crop == "none") o.crop = CropOption{};
    else if (!ParseCropRectangle(crop, o.crop)) ParseCropAspect(crop, o.crop);
    ParseBorder(border_->text().trimmed().toStdString(), o.border);
    o.watermark.enabled = watermark_->isChecked();
    o.watermark.file = watermarkFile_->text().toStdString();
    o.watermark.anchor = Anchor(watermarkAnchor_->currentData().toInt());
    o.watermark.margin = watermarkMargin_->value();
    o.watermark.scale = watermarkScale_->value();
    o.watermark.opacity = watermarkOpacity_->value();
    o.watermark.tile = watermarkTile_->isChecked();
    o.strict = strict_->isChecked();
    o.onExists = OnExists(onExists_->currentData().toInt());
    o.keepDates = keepDates_->isChecked();
    o.dateFrom = DateSource(dateFrom_->currentData().toInt());
    const std::string name = name_->text().toStdString();
    if (NameTemplateProblem(name).empty() || name.empty()) o.nameTemplate = name;
    return o;
}

// Crop and border as their keys write them; the watermark's file and place.
QGroupBox* OptionsDialog::MakeShapeGroup(QWidget* parent) {
    auto* shape = new QGroupBox(tr("Crop, border and image watermark"), parent);
    auto* form = new QFormLayout(shape);
    crop_ = new QLineEdit;
    crop_->setObjectName("crop");
    form->addRow(tr("Crop (none, X,Y,W,H or A:B):"), crop_);
    Describe(crop_, tr("Crop"), tr("Before the resize: none, X,Y,W,H in pixels of the upright picture, or an "
                                   "aspect ratio A:B placed by the pane's Anchor list"));
    border_ = new QLineEdit;
    border_->setObjectName("border");
    form->addRow(tr("Border (N or N,RRGGBB):"), border_);
    Describe(border_, tr("Border"), tr("After the resize: N pixels, or N,RRGGBB for a colour (without one, "
                                       "see-through where the output holds alpha)"));
    watermark_ = new QCheckBox(tr("Lay an image watermark over each output"));
    watermark_->setObjectName("watermark");
    form->addRow(watermark_);
    Describe(watermark_, {}, tr("After the resize and border, the picture in the watermark file is laid over each output"));
    auto* fileRow = new QHBoxLayout;
    watermarkFile_ = new QLineEdit;
    watermarkFile_->setObjectName("watermark-file");
    Describe(watermarkFile_, tr("Watermark file"), tr("The picture laid over the outputs, any type the program reads"));
    auto* choose = new QPushButton("...");
    choose->setObjectName("watermark-choose");
    Describe(choose, tr("Choose the watermark file"), tr("Pick the watermark's picture in a dialog"));
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString path = watermarkChooser ? watermarkChooser()
                                              : QFileDialog::getOpenFileName(this, tr("Watermark Image"));
        if (!path.isEmpty()) watermarkFile_->setText(path), watermark_->setChecked(true);
    });
    fileRow->addWidget(watermarkFile_, 1);
    fileRow->addWidget(choose);
    form->addRow(tr("Watermark file:"), fileRow);
    watermarkAnchor_ = new QComboBox;
    watermarkAnchor_->setObjectName("watermark-anchor");
    for (int i = 0; i <= int(Anchor::kNorthWest); ++i)
        watermarkAnchor_->addItem(QString::fromLatin1(AnchorName(Anchor(i))), i);
    form->addRow(tr("Watermark place:"), watermarkAnchor_);
    Describe(watermarkAnchor_, tr("Watermark place"), tr("The corner, edge or centre the watermark is set at"));
    watermarkMargin_ = Spin(0, kMarginMax, tr(" pixels from the edges"));
    watermarkMargin_->setObjectName("watermark-margin");
    form->addRow(tr("Watermark margin:"), watermarkMargin_);
    Describe(watermarkMargin_, tr("Watermark margin"), tr("Pixels between the watermark and the output's edges"));
    watermarkScale_ = Spin(1, 100, tr(" % of the output's width"));
    watermarkScale_->setObjectName("watermark-scale");
    form->addRow(tr("Watermark width:"), watermarkScale_);
    Describe(watermarkScale_, tr("Watermark width"), tr("The watermark's width as a share of the output's width"));
    watermarkOpacity_ = Spin(0, 100, tr(" % opaque"));
    watermarkOpacity_->setObjectName("watermark-opacity");
    form->addRow(tr("Watermark opacity:"), watermarkOpacity_);
    Describe(watermarkOpacity_, tr("Watermark opacity"), tr("0 leaves the output unchanged, 100 lays the watermark as it is"));
    watermarkTile_ = new QCheckBox(tr("Repeat it over the whole picture"));
    watermarkTile_->setObjectName("watermark-tile");
    form->addRow(watermarkTile_);
    Describe(watermarkTile_, {}, tr("The watermark repeated over the output, margin pixels apart"));
    return shape;
}

void OptionsDialog::ShowBackground() {
    const QColor colour(RedOf(backgroundColour_), GreenOf(backgroundColour_), BlueOf(backgroundColour_));
    QPixmap swatch(28, 14);
    swatch.fill(colour);
    QPainter(&swatch).drawRect(swatch.rect().adjusted(0, 0, -1, -1));
    background_->setIcon(QIcon(swatch));
    background_->setIconSize(swatch.size());
    background_->setText(colour.name().toUpper());
}

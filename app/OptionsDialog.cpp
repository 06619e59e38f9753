#include "OptionsDialog.h"

#include "DialogFit.h"
#include "NameTemplate.h"
#include "OperationSettings.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QPainter>
#include <QPushButton>
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

} // namespace

OptionsDialog::OptionsDialog(const RunOptions& options, QWidget* parent) : QDialog(parent) {
    setObjectName("options-dialog");
    setWindowTitle(tr("Options"));
    auto* outer = new QVBoxLayout(this);
    auto* columns = new QHBoxLayout;
    auto* layout = new QVBoxLayout;
    columns->addLayout(layout);
    columns->addWidget(MakeEncodingGroup(), 0, Qt::AlignTop);
    outer->addLayout(columns);

    auto* resize = new QGroupBox(tr("Resize"), this);
    auto* resizeForm = new QFormLayout(resize);
    resample_ = new QComboBox;
    resample_->setObjectName("resample");
    Fill(resample_, &ResampleFilterName, &ResampleText);
    resizeForm->addRow(tr("Resampling:"), resample_);
    onlyShrink_ = new QCheckBox(tr("Never enlarge: smaller images keep their size"));
    onlyShrink_->setObjectName("only-shrink");
    resizeForm->addRow(onlyShrink_);
    longestSide_ = Spin(kSpinMin, kSpinMax, tr(" pixels"));
    longestSide_->setObjectName("longest-side");
    resizeForm->addRow(tr("\"Longest Side\":"), longestSide_);
    percent_ = Spin(kPercentMin, kPercentMax, tr(" %"));
    percent_->setObjectName("percent");
    resizeForm->addRow(tr("\"Percent\":"), percent_);
    layout->addWidget(resize);

    auto* photos = new QGroupBox(tr("Photos and metadata"), this);
    auto* photoForm = new QFormLayout(photos);
    autoRotate_ = new QCheckBox(tr("Turn photos upright by their camera orientation"));
    autoRotate_->setObjectName("auto-rotate");
    photoForm->addRow(autoRotate_);
    metadata_ = new QComboBox;
    metadata_->setObjectName("metadata");
    Fill(metadata_, &MetadataModeName, &MetadataText);
    photoForm->addRow(tr("Exif, XMP, IPTC, colour profile:"), metadata_);
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
    layout->addWidget(photos);

    auto* output = new QGroupBox(tr("Output and run"), this);
    auto* outputForm = new QFormLayout(output);
    lossless_ = new QCheckBox(tr("Lossless where the format has it (WEBP, AVIF, JXL)"));
    lossless_->setObjectName("lossless");
    outputForm->addRow(lossless_);
    frames_ = new QComboBox;
    frames_->setObjectName("frames");
    frames_->addItem(tr("Every frame or page (GIF, WEBP, TIF outputs)"), int(FrameChoice::kAll));
    frames_->addItem(tr("The first only"), int(FrameChoice::kFirst));
    outputForm->addRow(tr("Animations, TIFF pages:"), frames_);
    page_ = Spin(0, kPageMax, QString());
    page_->setObjectName("page");
    page_->setSpecialValueText(tr("all pages"));
    outputForm->addRow(tr("TIFF page taken:"), page_);
    threads_ = Spin(0, kThreadsMax, QString());
    threads_->setObjectName("threads");
    threads_->setSpecialValueText(tr("one per core"));
    outputForm->addRow(tr("Images at once:"), threads_);
    strict_ = new QCheckBox(tr("Fail images that would lose something (no warnings, nothing written)"));
    strict_->setObjectName("strict");
    outputForm->addRow(strict_);
    onExists_ = new QComboBox;
    onExists_->setObjectName("on-exists");
    Fill(onExists_, &OnExistsName, &OnExistsText);
    outputForm->addRow(tr("When the output's name exists:"), onExists_);
    keepDates_ = new QCheckBox(tr("Outputs keep their input's date"));
    keepDates_->setObjectName("keep-dates");
    outputForm->addRow(keepDates_);
    dateFrom_ = new QComboBox;
    dateFrom_->setObjectName("date-from");
    Fill(dateFrom_, &DateSourceName, &DateSourceText);
    outputForm->addRow(tr("Date kept:"), dateFrom_);
    connect(keepDates_, &QCheckBox::toggled, dateFrom_, &QWidget::setEnabled);
    layout->addWidget(output);

    BuildShapeGroup(layout);
    auto* naming = new QGroupBox(tr("Names"), this);
    auto* namingForm = new QFormLayout(naming);
    name_ = new QLineEdit;
    name_->setObjectName("name-template");
    name_->setPlaceholderText(tr("as Rename says: prefix and series, or the input's name"));
    name_->setToolTip(tr("Tokens make the name; \"/\" makes subfolders inside the output folder"));
    auto* tokens = new QToolButton;
    tokens->setObjectName("name-tokens");
    tokens->setText(tr("Insert"));
    tokens->setPopupMode(QToolButton::InstantPopup);
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
    nameProblem_->setStyleSheet("color: rgb(200, 0, 0)");
    nameProblem_->setWordWrap(true);
    namingForm->addRow(nameProblem_);
    connect(name_, &QLineEdit::textChanged, this, &OptionsDialog::CheckName);
    layout->addWidget(naming);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::RestoreDefaults, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
            [this] { Show(RunOptions{}); });
    outer->addWidget(buttons);
    Show(options);
    FitTitle(this);
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

QWidget* OptionsDialog::MakeEncodingGroup() {
    auto* group = new QGroupBox(tr("Encoding"), this);
    auto* form = new QFormLayout(group);
    auto check = [&](const char* name, const QString& text) {
        auto* box = new QCheckBox(text);
        box->setObjectName(name);
        form->addRow(box);
        return box;
    };
    auto combo = [&](const char* name, const QString& label) {
        auto* box = new QComboBox;
        box->setObjectName(name);
        form->addRow(label, box);
        return box;
    };
    jpegOptimize_ = check("jpeg-optimize", tr("JPG: tables made for each picture (smaller, same pixels)"));
    jpegProgressive_ = check("jpeg-progressive", tr("JPG: progressive"));
    jpegSubsampling_ = combo("jpeg-subsampling", tr("JPG colour resolution:"));
    Fill(jpegSubsampling_, &SubsamplingName, &SubsamplingText);
    jpegTurn_ = combo("jpeg-turn", tr("JPG only turned:"));
    Fill(jpegTurn_, &JpegTurnEdgesName, &TurnText);
    pngLevel_ = Spin(kPngLevelMin, kPngLevelMax, QString());
    pngLevel_->setObjectName("png-level");
    pngLevel_->setToolTip(tr("6 is fast; 7 to 9 also try a full search and keep the smaller file"));
    form->addRow(tr("PNG compression level:"), pngLevel_);
    pngFilter_ = combo("png-filter", tr("PNG row filter:"));
    Fill(pngFilter_, &PngFilterName, &FilterText);
    pngReduce_ = check("png-reduce", tr("PNG: at most 256 colours or greys written as such (exact)"));
    zopfli_ = check("zopfli", tr("PNG: compress with zopfli (smallest, many times slower)"));
    palette_ = combo("palette", tr("GIF, TIF and 8-bit PNG palette:"));
    Fill(palette_, &PaletteModeName, &PaletteText);
    dither_ = check("dither", tr("Diffuse the error of a palette made for the picture"));
    maxSize_ = Spin(0, 1000000, tr(" KB"));
    maxSize_->setObjectName("max-size");
    maxSize_->setSpecialValueText(tr("no limit"));
    maxSize_->setToolTip(tr("JPG, WEBP, AVIF and JXL files are written at the highest quality that fits"));
    form->addRow(tr("Largest file:"), maxSize_);
    neverLarger_ = check("never-larger", tr("Keep the input when only the encoding changes and it is smaller"));
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
void OptionsDialog::BuildShapeGroup(QVBoxLayout* layout) {
    auto* shape = new QGroupBox(tr("Crop, border and image watermark"), this);
    auto* form = new QFormLayout(shape);
    crop_ = new QLineEdit;
    crop_->setObjectName("crop");
    crop_->setToolTip(tr("Before the resize: none, X,Y,W,H in pixels of the upright picture, or an "
                         "aspect ratio A:B placed by the pane's Anchor list"));
    form->addRow(tr("Crop (none, X,Y,W,H or A:B):"), crop_);
    border_ = new QLineEdit;
    border_->setObjectName("border");
    border_->setToolTip(tr("After the resize: N pixels, or N,RRGGBB for a colour (without one, "
                           "see-through where the output holds alpha)"));
    form->addRow(tr("Border (N or N,RRGGBB):"), border_);
    watermark_ = new QCheckBox(tr("Lay an image watermark over each output"));
    watermark_->setObjectName("watermark");
    form->addRow(watermark_);
    auto* fileRow = new QHBoxLayout;
    watermarkFile_ = new QLineEdit;
    watermarkFile_->setObjectName("watermark-file");
    auto* choose = new QPushButton("...");
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
    watermarkMargin_ = Spin(0, kMarginMax, tr(" pixels from the edges"));
    form->addRow(tr("Watermark margin:"), watermarkMargin_);
    watermarkScale_ = Spin(1, 100, tr(" % of the output's width"));
    form->addRow(tr("Watermark width:"), watermarkScale_);
    watermarkOpacity_ = Spin(0, 100, tr(" % opaque"));
    form->addRow(tr("Watermark opacity:"), watermarkOpacity_);
    watermarkTile_ = new QCheckBox(tr("Repeat it over the whole picture"));
    form->addRow(watermarkTile_);
    layout->addWidget(shape);
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

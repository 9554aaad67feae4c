#include "BatchDecoder.h"

#include "PngWriter.h"
#include "image/GroundRectifier.h"
#include "session/Products.h"
#include "session/RGBComposite.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

std::string BatchUsage() {
    return "usage: tarnwick-batch [--72k | --80k | --auto] [--ignore-rs-errors] [--diff] [--rgb R,G,B] "
           "[--out DIR] [-q] FILE\n"
           "\n"
           "Decodes one LRPT symbol file (.s 8-bit soft, .raw 3-bit soft, .hard hard decisions;\n"
           "any other extension is read as .s) into the six channel pictures.\n"
           "\n"
           "  --72k, --80k        transmission mode; default: 80k when the name contains \"_LRPT INT_\",\n"
           "                      otherwise 72k\n"
           "  --ignore-rs-errors  pass frames on even when a Reed-Solomon code word cannot be corrected\n"
           "  --diff              the bit stream is differentially encoded (NRZ-M, as N2-3 and N2-4 send):\n"
           "                      search the NRZ-M marker and decode differentially after the Viterbi stage\n"
           "  --auto              find the mode and NRZ-M by decoding the first seconds under every\n"
           "                      hypothesis (72k/80k, with and without NRZ-M) and keeping the one that\n"
           "                      yields Reed-Solomon-clean frames; the summary says what was chosen\n"
           "                      (not with --72k, --80k or --diff)\n"
           "  --rgb R,G,B         channels (1-6) of the composite's \"R:\", \"G:\", \"B:\" choices;\n"
           "                      default 1,2,3\n"
           "  --out DIR           write every output there instead of beside the input\n"
           "  -q, --quiet         no progress display and no summary\n"
           "  -h, --help          this text\n" +
           MapOptionsUsage() +
           "\n"
           "Writes, named after the input: .vcdu, .70 (72k), the stage logs, .64.png/.64.bmp ... "
           ".69.png/.69.bmp\n"
           "(each channel cropped to its decoded rows; channels without data are left out), and the RGB\n"
           "composite .bmp with its .bmp.stat. Products, as PNG: each channel rectified to equal ground\n"
           "distance (.64.rect.png ...), and the composites the channels allow, raw and rectified:\n"
           ".rgb123.png/.rgb123.rect.png (natural colour: channels 1, 2, 3), .rgb221.png/.rgb221.rect.png\n"
           "(channels 1 and 2), .ir.png/.ir.rect.png (channel 5, 6 or 4, enhanced).\n"
           "With --tle: each of these on the map as GeoTIFF and as PNG with coastlines, borders and a\n"
           "5-degree grid (.rgb123.map.tif/.map.png ..., .64.map.tif/.map.png ...), each channel as a\n"
           "GeoTIFF with ground control points (.64.gcp.tif ...), and the summary says where the pass\n"
           "lies and how well it fits the coastlines.\n"
           "Files of an earlier run on the same name that this run does not write are deleted.\n"
           "Prints a summary. Exit status 0 on success, 1 on a file error, 2 on a usage error,\n"
           "3 when no transfer frame was found in the input.\n";
}

TBatchOptions ParseBatchArguments(const std::vector<std::string>& aArgs) {
    TBatchOptions o;
    for (size_t i = 0; i < aArgs.size(); ++i) {
        const std::string& a = aArgs[i];
        auto value = [&](const char* name) -> const std::string& {
            if (i + 1 >= aArgs.size()) throw std::invalid_argument(std::string(name) + " needs a value");
            return aArgs[++i];
        };
        if (a == "--72k") {
            o.Mode = TLrptMode::lm72k;
        } else if (a == "--80k") {
            o.Mode = TLrptMode::lm80k;
        } else if (a == "--ignore-rs-errors") {
            o.IgnoreRsErrors = true;
        } else if (a == "--diff") {
            o.Nrzm = true;
        } else if (a == "--auto") {
            o.Auto = true;
        } else if (a == "--rgb") {
            const std::string& list = value("--rgb");
            int r = 0, g = 0, b = 0;
            char extra = 0;
            if (std::sscanf(list.c_str(), "%d,%d,%d%c", &r, &g, &b, &extra) != 3 || r < 1 || r > 6 || g < 1 ||
                g > 6 || b < 1 || b > 6)
                throw std::invalid_argument("--rgb wants three channel numbers 1-6, such as 1,2,3");
            o.Rgb = {r, g, b};
        } else if (a == "--out") {
            o.OutDir = value("--out");
        } else if (a == "-q" || a == "--quiet") {
            o.Quiet = true;
        } else if (a == "-h" || a == "--help") {
            o.Help = true;
        } else if (ParseMapOption(aArgs, i, o.Maps)) {
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw std::invalid_argument("unknown option " + a);
        } else if (o.Input.empty()) {
            o.Input = a;
        } else {
            throw std::invalid_argument("only one input file, please (" + a + ")");
        }
    }
    if (!o.Help && o.Input.empty()) throw std::invalid_argument("no input file given");
    if (o.Auto && (o.Mode || o.Nrzm)) throw std::invalid_argument("--auto finds the mode and NRZ-M itself");
    CheckMapOptions(o.Maps);
    return o;
}

TLrptMode ModeForFileName(const std::string& aFileName) {
    return fs::path(aFileName).filename().string().find("_LRPT INT_") != std::string::npos ? TLrptMode::lm80k
                                                                                           : TLrptMode::lm72k;
}

void WriteBmpRegion(const std::string& aFileName, const uint8_t* aBits, int aWidth, int aRows, int aStride) {
    const uint32_t rowBytes = (static_cast<uint32_t>(aWidth) * 3 + 3) / 4 * 4;
    const uint32_t imageBytes = rowBytes * static_cast<uint32_t>(aRows);
    uint8_t header[54] = {'B', 'M'};
    auto put = [&](int aAt, uint32_t aValue, int aBytes) {
        for (int i = 0; i < aBytes; ++i)
            header[aAt + i] = static_cast<uint8_t>(aValue >> (8 * i));
    };
    put(2, 54 + imageBytes, 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(aWidth), 4);
    put(22, static_cast<uint32_t>(aRows), 4); // positive: rows stored bottom-up
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, imageBytes, 4);
    put(38, 2835, 4);
    put(42, 2835, 4);
    std::FILE* file = std::fopen(aFileName.c_str(), "wb");
    if (!file) throw std::runtime_error("Cannot create file \"" + aFileName + "\"");
    std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
    const uint8_t padding[3] = {};
    const size_t pixelBytes = 3 * static_cast<size_t>(aWidth);
    bool ok = std::fwrite(header, 1, sizeof header, file) == sizeof header;
    for (int y = aRows - 1; y >= 0 && ok; --y) {
        ok = std::fwrite(aBits + static_cast<size_t>(y) * static_cast<size_t>(aStride), 1, pixelBytes,
                         file) == pixelBytes;
        if (ok && rowBytes > pixelBytes)
            ok = std::fwrite(padding, 1, rowBytes - pixelBytes, file) == rowBytes - pixelBytes;
    }
    if (std::fclose(file) != 0 || !ok) throw std::runtime_error("Cannot write file \"" + aFileName + "\"");
}

namespace {

// --auto: the mode and NRZ-M from the file's first seconds; when nothing decodes under any
// hypothesis, the mode from the name and no NRZ-M, as without --auto.
void DetectForBatch(const std::string& aInput, TBatchResult& aResult, std::ostream* aProgress) {
    aResult.Detection = DetectMode(aInput);
    if (aResult.Detection->Found) {
        aResult.Mode = aResult.Detection->Chosen.Mode;
        aResult.Nrzm = aResult.Detection->Chosen.Nrzm;
    }
    if (aProgress) *aProgress << "detected " << aResult.Detection->Describe() << "\n" << std::flush;
}

// The rectified picture, north up when asked (a northbound pass's picture is the scene turned
// around: its first row is the south end and column 0 the east).
void WriteRectified(const std::string& aFile, const TGroundRectifier& aRectifier, const uint8_t* aBits,
                    int aWidth, int aRows, int aStride, bool aTurn) {
    WriteAtomically(aFile, [&](const std::string& aTo) {
        WriteRectifiedPngBgr(aTo, aRectifier, aBits, aWidth, aRows, aStride, aTurn);
    });
}

} // namespace

std::vector<std::string> WriteSessionPictures(TStageChain& aChain, const std::string& aStem,
                                              const std::array<int, 3>& aRgb, TPassMaps* aMaps) {
    std::array<TCanalDrawThread*, 6> stages{};
    std::array<bool, 6> present{};
    std::array<int, 6> rows{};
    for (size_t i = 0; i < 6; ++i) {
        stages[i] = aChain.Channel(static_cast<int>(i));
        present[i] = stages[i]->FirstScanTime() >= 0 && stages[i]->LineCount() > 0;
        // The stages have ended, so their pictures no longer change and are read without the
        // stage locks (several writers read one picture at once).
        rows[i] = present[i] ? std::min(stages[i]->LineCount(), stages[i]->Picture()->Height()) : 0;
    }
    bool maps = false;
    std::exception_ptr mapRefusal; // the pictures are written all the same
    if (aMaps) {
        std::array<TChannelTiming, 6> timing;
        for (size_t i = 0; i < 6; ++i)
            timing[i] = {present[i], stages[i]->FirstScanTime(), stages[i]->FirstDayCount(), rows[i],
                         stages[i]->RowsDrawn()};
        try {
            maps = aMaps->SetTiming(timing);
        } catch (const EMapError&) {
            mapRefusal = std::current_exception();
        }
    }
    const bool turn = maps && aMaps->Northbound();
    const TGroundRectifier& rectifier = TGroundRectifier::ForWidth(CompositeWidth);

    // The composites: the RGB composite of aRgb and the products. A product taking the very
    // channels of the RGB composite (and no palette) is that picture: it is made once.
    struct TComposite {
        TStep Made;
        TBitmap24 Picture;
    };
    const auto kinds = ChooseComposites(present);
    std::vector<std::unique_ptr<TComposite>> products;
    std::unique_ptr<TComposite> rgbOwn;
    TComposite* rgb = nullptr;
    for (const TCompositeKind kind : kinds) {
        products.push_back(std::make_unique<TComposite>());
        if (kind != TCompositeKind::InfraRed && CompositeChannels(kind, present) == aRgb)
            rgb = products.back().get();
    }

    // Longest first, each picture made before the files written from it: the composites, then
    // the colour PNGs, then the channels' files.
    std::vector<std::function<void()>> tasks;
    auto make = [&](TComposite& aComposite, auto aBuild) {
        tasks.emplace_back(
            [&aComposite, aBuild] { aComposite.Made.Run([&] { aBuild(aComposite.Picture); }); });
    };
    if (!rgb) {
        rgbOwn = std::make_unique<TComposite>();
        rgb = rgbOwn.get();
    }
    make(*rgb, [&](TBitmap24& aPicture) {
        const auto stat =
            GenerateRGB(*stages[static_cast<size_t>(aRgb[0] - 1)], *stages[static_cast<size_t>(aRgb[1] - 1)],
                        *stages[static_cast<size_t>(aRgb[2] - 1)], aPicture);
        SaveComposite(aPicture, stat, aStem);
    });
    for (size_t k = 0; k < kinds.size(); ++k)
        if (products[k].get() != rgb)
            make(*products[k],
                 [&, kind = kinds[k]](TBitmap24& aPicture) { aPicture = GenerateProduct(kind, stages); });
    std::vector<std::string> productFiles;
    for (size_t k = 0; k < kinds.size(); ++k) {
        TComposite& composite = *products[k];
        const std::string name = aStem + "." + CompositeName(kinds[k]);
        productFiles.push_back(name + ".png");
        productFiles.push_back(name + ".rect.png");
        tasks.emplace_back([&composite, &rectifier, turn, file = name + ".rect.png"] {
            composite.Made.Wait();
            const TBitmap24& p = composite.Picture;
            WriteRectified(file, rectifier, p.Bits(), p.Width(), p.Height(), p.BytesPerLine(), turn);
        });
        tasks.emplace_back([&composite, file = name + ".png"] {
            composite.Made.Wait();
            const TBitmap24& p = composite.Picture;
            WriteAtomically(file, [&](const std::string& aTo) {
                WritePngBgr(aTo, p.Bits(), p.Width(), p.Height(), p.BytesPerLine());
            });
        });
    }
    // The registration on the coastlines reads channel pictures only: it runs among these files (the
    // longest task, first), not alone before the maps.
    std::array<const TBitmap24*, 6> channels{};
    for (size_t i = 0; i < 6; ++i)
        channels[i] = present[i] ? stages[i]->Picture() : nullptr;
    if (maps) tasks.insert(tasks.begin(), [aMaps, &channels] { aMaps->RegisterOnCoastlines(channels); });
    std::vector<std::string> written, rectified;
    for (size_t i = 0; i < 6; ++i) {
        if (!present[i]) continue;
        const std::string name = aStem + "." + std::to_string(64 + i);
        const TBitmap24& p = *stages[i]->Picture();
        const int n = rows[i];
        written.push_back(name + ".png");
        written.push_back(name + ".bmp");
        rectified.push_back(name + ".rect.png");
        // Each through a temporary file: lrpt-decode's live pictures have these names.
        tasks.emplace_back([&p, n, &rectifier, turn, file = name + ".rect.png"] {
            WriteRectified(file, rectifier, p.Bits(), CompositeWidth, n, p.BytesPerLine(), turn);
        });
        tasks.emplace_back([&p, n, file = name + ".png"] {
            WriteAtomically(file, [&](const std::string& aTo) {
                WritePngBgr(aTo, p.Bits(), CompositeWidth, n, p.BytesPerLine());
            });
        });
        tasks.emplace_back([&p, n, file = name + ".bmp"] {
            WriteAtomically(file, [&](const std::string& aTo) {
                WriteBmpRegion(aTo, p.Bits(), CompositeWidth, n, p.BytesPerLine());
            });
        });
    }
    RunInOrder(tasks);
    if (mapRefusal) std::rethrow_exception(mapRefusal);

    std::vector<std::string> mapFiles;
    if (maps) {
        std::vector<TPassMaps::TComposite> composites;
        for (size_t k = 0; k < kinds.size(); ++k)
            composites.push_back(
                {CompositeName(kinds[k]), CompositeChannels(kinds[k], present), &products[k]->Picture});
        mapFiles = aMaps->WriteProducts(channels, composites, aStem);
    }

    written.push_back(aStem + ".bmp");
    written.push_back(aStem + ".bmp.stat");
    written.insert(written.end(), rectified.begin(), rectified.end());
    written.insert(written.end(), productFiles.begin(), productFiles.end());
    written.insert(written.end(), mapFiles.begin(), mapFiles.end());
    return written;
}

void RunInOrder(const std::vector<std::function<void()>>& aTasks, size_t aMaxThreads) {
    std::atomic<size_t> next{0};
    std::mutex lock;
    std::exception_ptr failure;
    auto work = [&] {
        for (size_t i; (i = next++) < aTasks.size();) {
            try {
                aTasks[i]();
            } catch (...) {
                std::lock_guard<std::mutex> guard(lock);
                if (!failure) failure = std::current_exception();
            }
        }
    };
    const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1,
                                              std::max<size_t>(1, std::min(aMaxThreads, aTasks.size() + 1)));
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; ++i)
        helpers.emplace_back(work);
    work();
    for (auto& helper : helpers)
        helper.join();
    if (failure) std::rethrow_exception(failure);
}

void WriteAtomically(const std::string& aFile, const std::function<void(const std::string&)>& aWrite) {
    const std::string temporary = aFile + ".tmp";
    try {
        aWrite(temporary);
    } catch (...) {
        std::remove(temporary.c_str());
        throw;
    }
    std::error_code error;
    fs::rename(temporary, aFile, error);
    if (error) {
        std::remove(temporary.c_str());
        throw std::runtime_error("Cannot write file \"" + aFile + "\": " + error.message());
    }
}

void RemoveSessionPictures(const std::string& aStem) {
    std::error_code error;
    for (int apid = 64; apid <= 69; ++apid)
        for (const char* extension : {".png", ".bmp", ".rect.png"})
            fs::remove(aStem + "." + std::to_string(apid) + extension, error);
    for (const char* product : {"rgb123", "rgb221", "ir"})
        for (const char* extension : {".png", ".rect.png"})
            fs::remove(aStem + "." + product + extension, error);
    fs::remove(aStem + ".bmp", error);
    fs::remove(aStem + ".bmp.stat", error);
    for (const std::string& suffix : MapProductSuffixes())
        fs::remove(aStem + suffix, error);
}

void CheckInputFile(const std::string& aPath) {
    std::error_code error;
    if (!fs::exists(aPath, error)) throw std::invalid_argument("cannot open \"" + aPath + "\": no such file");
    if (!fs::is_regular_file(aPath, error))
        throw std::invalid_argument("cannot read \"" + aPath + "\": not a regular file");
    if (fs::file_size(aPath, error) == 0) throw std::invalid_argument("\"" + aPath + "\" is empty");
}

TBatchResult RunBatch(const TBatchOptions& aOptions, std::ostream* aProgress) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    CheckInputFile(aOptions.Input);
    std::error_code error;
    // The element sets and the projection are checked before the pass is decoded.
    std::unique_ptr<TPassMaps> maps;
    if (aOptions.Maps.Enabled()) maps = std::make_unique<TPassMaps>(aOptions.Maps);

    std::string stem = aOptions.Input;
    if (!aOptions.OutDir.empty()) {
        fs::create_directories(aOptions.OutDir, error);
        if (!fs::is_directory(aOptions.OutDir))
            throw std::invalid_argument("cannot use \"" + aOptions.OutDir + "\" as the output folder");
        stem = (fs::path(aOptions.OutDir) / fs::path(aOptions.Input).filename()).string();
    }

    TBatchResult result;
    result.Stem = stem;
    result.Mode = aOptions.Mode.value_or(ModeForFileName(aOptions.Input));
    // Pictures of an earlier run on the same stem go first.
    RemoveSessionPictures(stem);
    result.Nrzm = aOptions.Nrzm;
    if (aOptions.Auto) DetectForBatch(aOptions.Input, result, aProgress);
    const int64_t fileSize = static_cast<int64_t>(fs::file_size(aOptions.Input));

    // The controls outlive the chain, whose drawing stages use them to the end.
    THeadlessChannels channels;
    TStageChain chain;

    int64_t lastPosition = 0;
    auto lastShown = Clock::now() - std::chrono::seconds(1);
    auto lastCaptions = Clock::now();
    int64_t calls = 0;
    auto show = [&] {
        // The driver calls this a hundred times per block; look at the clock only now and then.
        if (++calls % 64 != 0) return;
        const auto now = Clock::now();
        if (now - lastCaptions >= std::chrono::seconds(3)) {
            chain.ProgressAll();
            lastCaptions = now;
        }
        if (!aProgress || now - lastShown < std::chrono::milliseconds(200)) return;
        lastShown = now;
        const int percent = fileSize > 0 ? static_cast<int>(100 * lastPosition / fileSize) : 100;
        std::string bar(static_cast<size_t>(percent / 5), '#');
        bar.resize(20, '.');
        std::ostringstream line;
        line << "\r[" << bar << "] " << percent << "% buffer " << chain.BackPressureSum(result.Mode) / 1024
             << " KiB";
        if (chain.RS) line << " frames " << chain.RS->VCDUcounter();
        if (chain.MPDU) {
            uint32_t packets = 0;
            for (int apid = 64; apid <= 70; ++apid)
                packets += chain.MPDU->PacketCount(apid);
            line << " packets " << packets;
        }
        for (size_t i = 0; i < 6; ++i) {
            const std::string caption = channels.Captions[i].Caption();
            if (!caption.empty()) line << " ch" << i + 1 << " " << caption.substr(caption.rfind(' ') + 1);
        }
        *aProgress << line.str() << "\x1b[K" << std::flush;
    };
    TSessionObserver observer;
    observer.ProcessMessages = show;
    observer.ShowFileProgress = [&](int64_t aPosition, int64_t) { lastPosition = aPosition; };

    TDecodingSession session(chain, observer);
    session.Run(result.Mode, aOptions.Input, aOptions.IgnoreRsErrors, channels.Progress, channels.Image, stem,
                result.Nrzm);
    chain.ProgressAll();
    if (aProgress) *aProgress << "\r\x1b[K" << std::flush;

    result.Totals = session.Totals();
    result.StageCpu = chain.StageCpu();
    for (int i = 0; i < 6; ++i) {
        TCanalDrawThread& stage = *chain.Channel(i);
        StopStage(stage); // terminated by the session; wait until it has really ended
        result.StageCpu.emplace_back(std::to_string(64 + i), stage.CpuSeconds());
        // Scans drawn: the rows from the first strip to the last one written, 8 per scan period.
        result.Scans[static_cast<size_t>(i)] = stage.LineCount() / 8;
        result.Lines[static_cast<size_t>(i)] = stage.LineCount();
        result.LatestScan[static_cast<size_t>(i)] = channels.Captions[static_cast<size_t>(i)].Caption();
    }
    result.DecodeSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    result.Written = WriteSessionPictures(chain, stem, aOptions.Rgb, maps.get());
    if (maps && !maps->Facts().Satellite.empty()) result.Geolocation = maps->Facts();

    const double symbols = static_cast<double>(result.Totals.BytesFed) / 2;
    result.SignalSeconds = symbols / (result.Mode == TLrptMode::lm72k ? 72000.0 : 80000.0);
    result.ElapsedSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    return result;
}

std::string BatchSummary(const TBatchResult& r) {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(2);
    if (r.Detection) s << "detected " << r.Detection->Describe() << "\n";
    s << "mode " << (r.Mode == TLrptMode::lm72k ? "72k" : "80k") << ", " << r.SignalSeconds
      << " s of signal decoded in " << r.ElapsedSeconds << " s ("
      << (r.ElapsedSeconds > 0 ? r.SignalSeconds / r.ElapsedSeconds : 0) << " times real time)\n";
    s << "frames " << r.Totals.Frames << ", passed on " << r.Totals.FramesPassedOn << ", RS symbols cured "
      << r.Totals.CuredSymbols << ", RS words failed " << r.Totals.FailedWords << "\n";
    s << "packets";
    for (int apid = 64; apid <= 70; ++apid)
        s << " " << apid << ":" << r.Totals.Packets[static_cast<size_t>(apid - 64)];
    s << "\nscans";
    for (int i = 0; i < 6; ++i)
        s << " ch" << i + 1 << ":" << r.Scans[static_cast<size_t>(i)];
    s << "\ntime: " << r.DecodeSeconds << " s decoding, " << r.ElapsedSeconds - r.DecodeSeconds
      << " s writing pictures; processor seconds per stage:";
    for (const auto& [name, seconds] : r.StageCpu)
        s << " " << name << " " << seconds;
    s << "\n";
    if (r.Geolocation) s << GeolocationSummary(*r.Geolocation);
    for (const auto& file : r.Written)
        s << "wrote " << file << "\n";
    return s.str();
}

std::string NoFrameInSymbolFile(const TBatchResult& aResult, const std::string& aInput) {
    return NoFrameMessage(aResult, "\"" + aInput + "\" (not a symbol file of this mode?)");
}

std::string NoFrameMessage(const TBatchResult& aResult, const std::string& aRead) {
    std::vector<std::string> kinds;
    std::error_code error;
    bool logs = false;
    for (const auto& suffix : TStageChain::SessionFileSuffixes())
        logs |= suffix.size() > 4 && suffix.compare(suffix.size() - 4, 4, ".log") == 0 &&
                fs::exists(aResult.Stem + suffix, error);
    if (logs) kinds.emplace_back("the logs");
    if (fs::exists(aResult.Stem + ".bmp", error)) kinds.emplace_back("an empty composite");
    if (fs::exists(aResult.Stem + ".vcdu", error))
        kinds.emplace_back(fs::file_size(aResult.Stem + ".vcdu", error) > 0 ? "the .vcdu records"
                                                                            : "an empty .vcdu file");
    std::string text = "no transfer frame found in " + aRead + "; ";
    if (kinds.empty()) return text + "nothing was written";
    text += "only ";
    for (size_t i = 0; i < kinds.size(); ++i)
        text += (i == 0 ? "" : i + 1 == kinds.size() ? " and " : ", ") + kinds[i];
    const bool one = kinds.size() == 1 && kinds[0].rfind("an ", 0) == 0; // "an empty ..."
    return text + (one ? " was written" : " were written");
}

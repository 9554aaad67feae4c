// The near-Earth branch of SGP4: initialisation (recovering the Brouwer mean motion and the drag
// coefficients) and propagation (secular drag and gravity, long-period periodics, Kepler's
// equation, short-period periodics), with the published algorithm's variable names so the code
// can be read against it.
#include "orbit/Sgp4.h"

#include "Angles.h"

#include <cmath>
#include <numbers>

namespace lrptgeo {

namespace {

constexpr double kX2o3 = 2.0 / 3.0;
constexpr double kMinutesPerDay = 1440.0;

// Earth radii per minute: the unit of velocity SGP4 works in.
const double kXke =
    60.0 / std::sqrt(TWgs72::RadiusKm * TWgs72::RadiusKm * TWgs72::RadiusKm / TWgs72::MuKm3S2);
constexpr double kJ3oJ2 = TWgs72::J3 / TWgs72::J2;

} // namespace

TSgp4::TSgp4(const TTle& aTle) : fName(aTle.DisplayName()), fEpoch(aTle.Epoch) {
    const TTleElements& e = aTle.Elements;
    fEcc = e.Eccentricity;
    fIncl = e.InclinationDeg * kDeg;
    fNode = e.RaanDeg * kDeg;
    fArgp = e.ArgPerigeeDeg * kDeg;
    fMo = e.MeanAnomalyDeg * kDeg;
    fBstar = e.BStarPerEarthRadii;
    const double noKozai = e.MeanMotionRevPerDay * kTwoPi / kMinutesPerDay;
    if (!(fEcc >= 0 && fEcc < 1))
        throw EEccentricityOutOfRange(fName + ": eccentricity " + std::to_string(fEcc) + " is not in [0, 1)");

    // Brouwer mean motion from the Kozai one the element set carries.
    const double eccsq = fEcc * fEcc;
    const double omeosq = 1 - eccsq;
    const double rteosq = std::sqrt(omeosq);
    fCosio = std::cos(fIncl);
    const double cosio2 = fCosio * fCosio;
    const double ak = std::pow(kXke / noKozai, kX2o3);
    const double d1 = 0.75 * TWgs72::J2 * (3 * cosio2 - 1) / (rteosq * omeosq);
    double del = d1 / (ak * ak);
    const double adel = ak * (1 - del * del - del * (1.0 / 3.0 + 134 * del * del / 81));
    del = d1 / (adel * adel);
    fNoUnkozai = noKozai / (1 + del);

    if (kTwoPi / fNoUnkozai >= 225.0)
        throw EDeepSpaceOrbit(fName + ": orbital period " +
                              std::to_string(static_cast<int>(kTwoPi / fNoUnkozai)) +
                              " min is 225 min or more; only near-Earth orbits are modelled");

    fAo = std::pow(kXke / fNoUnkozai, kX2o3);
    fSinio = std::sin(fIncl);
    const double po = fAo * omeosq;
    const double con42 = 1 - 5 * cosio2;
    fCon41 = -con42 - cosio2 - cosio2;
    const double posq = po * po;
    const double rp = fAo * (1 - fEcc);

    // Atmosphere density parameters, lowered for perigees under 156 km.
    const double ss = 78.0 / TWgs72::RadiusKm + 1;
    const double qzms2t = std::pow((120.0 - 78.0) / TWgs72::RadiusKm, 4);
    fSimplified = rp < 220.0 / TWgs72::RadiusKm + 1;
    double sfour = ss;
    double qzms24 = qzms2t;
    const double perige = (rp - 1) * TWgs72::RadiusKm;
    if (perige < 156.0) {
        sfour = perige < 98.0 ? 20.0 : perige - 78.0;
        qzms24 = std::pow((120.0 - sfour) / TWgs72::RadiusKm, 4);
        sfour = sfour / TWgs72::RadiusKm + 1;
    }
    const double pinvsq = 1 / posq;
    const double tsi = 1 / (fAo - sfour);
    fEta = fAo * fEcc * tsi;
    const double etasq = fEta * fEta;
    const double eeta = fEcc * fEta;
    const double psisq = std::fabs(1 - etasq);
    const double coef = qzms24 * std::pow(tsi, 4);
    const double coef1 = coef / std::pow(psisq, 3.5);
    const double cc2 = coef1 * fNoUnkozai *
                       (fAo * (1 + 1.5 * etasq + eeta * (4 + etasq)) +
                        0.375 * TWgs72::J2 * tsi / psisq * fCon41 * (8 + 3 * etasq * (8 + etasq)));
    fCc1 = fBstar * cc2;
    double cc3 = 0;
    if (fEcc > 1.0e-4) cc3 = -2 * coef * tsi * kJ3oJ2 * fNoUnkozai * fSinio / fEcc;
    fX1mth2 = 1 - cosio2;
    fCc4 = 2 * fNoUnkozai * coef1 * fAo * omeosq *
           (fEta * (2 + 0.5 * etasq) + fEcc * (0.5 + 2 * etasq) -
            TWgs72::J2 * tsi / (fAo * psisq) *
                (-3 * fCon41 * (1 - 2 * eeta + etasq * (1.5 - 0.5 * eeta)) +
                 0.75 * fX1mth2 * (2 * etasq - eeta * (1 + etasq)) * std::cos(2 * fArgp)));
    fCc5 = 2 * coef1 * fAo * omeosq * (1 + 2.75 * (etasq + eeta) + eeta * etasq);

    // Secular rates of the mean anomaly, the argument of perigee and the node.
    const double cosio4 = cosio2 * cosio2;
    const double temp1 = 1.5 * TWgs72::J2 * pinvsq * fNoUnkozai;
    const double temp2 = 0.5 * temp1 * TWgs72::J2 * pinvsq;
    const double temp3 = -0.46875 * TWgs72::J4 * pinvsq * pinvsq * fNoUnkozai;
    fMdot = fNoUnkozai + 0.5 * temp1 * rteosq * fCon41 +
            0.0625 * temp2 * rteosq * (13 - 78 * cosio2 + 137 * cosio4);
    fArgpdot = -0.5 * temp1 * con42 + 0.0625 * temp2 * (7 - 114 * cosio2 + 395 * cosio4) +
               temp3 * (3 - 36 * cosio2 + 49 * cosio4);
    const double xhdot1 = -temp1 * fCosio;
    fNodedot = xhdot1 + (0.5 * temp2 * (4 - 19 * cosio2) + 2 * temp3 * (3 - 7 * cosio2)) * fCosio;
    fOmgcof = fBstar * cc3 * std::cos(fArgp);
    fXmcof = fEcc > 1.0e-4 ? -kX2o3 * coef * fBstar / eeta : 0.0;
    fNodecf = 3.5 * omeosq * xhdot1 * fCc1;
    fT2cof = 1.5 * fCc1;
    // Guard against division by zero for an inclination of 180 degrees.
    const double denominator = std::fabs(fCosio + 1) > 1.5e-12 ? 1 + fCosio : 1.5e-12;
    fXlcof = -0.25 * kJ3oJ2 * fSinio * (3 + 5 * fCosio) / denominator;
    fAycof = -0.5 * kJ3oJ2 * fSinio;
    fDelmo = std::pow(1 + fEta * std::cos(fMo), 3);
    fSinmao = std::sin(fMo);
    fX7thm1 = 7 * cosio2 - 1;

    if (!fSimplified) {
        const double cc1sq = fCc1 * fCc1;
        fD2 = 4 * fAo * tsi * cc1sq;
        const double temp = fD2 * tsi * fCc1 / 3;
        fD3 = (17 * fAo + sfour) * temp;
        fD4 = 0.5 * temp * fAo * tsi * (221 * fAo + 31 * sfour) * fCc1;
        fT3cof = fD2 + 2 * cc1sq;
        fT4cof = 0.25 * (3 * fD3 + fCc1 * (12 * fD2 + 10 * cc1sq));
        fT5cof = 0.2 * (3 * fD4 + 12 * fCc1 * fD3 + 6 * fD2 * fD2 + 15 * cc1sq * (2 * fD2 + cc1sq));
    }
    // The published algorithm propagates to the epoch once so that an element set that is broken
    // from the start is refused at once.
    AtMinutesSinceEpoch(0.0);
}

double TSgp4::PeriodMinutes() const {
    return kTwoPi / fNoUnkozai;
}

TStateTeme TSgp4::At(TUtcTime aTime) const {
    return AtMinutesSinceEpoch(SecondsBetween(fEpoch, aTime) / 60.0);
}

TStateTeme TSgp4::AtMinutesSinceEpoch(double t) const {
    // Secular gravity and atmospheric drag.
    const double xmdf = fMo + fMdot * t;
    const double argpdf = fArgp + fArgpdot * t;
    const double nodedf = fNode + fNodedot * t;
    double argpm = argpdf;
    double mm = xmdf;
    const double t2 = t * t;
    double nodem = nodedf + fNodecf * t2;
    double tempa = 1 - fCc1 * t;
    double tempe = fBstar * fCc4 * t;
    double templ = fT2cof * t2;
    if (!fSimplified) {
        const double delomg = fOmgcof * t;
        const double delm = fXmcof * (std::pow(1 + fEta * std::cos(xmdf), 3) - fDelmo);
        const double temp = delomg + delm;
        mm = xmdf + temp;
        argpm = argpdf - temp;
        const double t3 = t2 * t;
        const double t4 = t3 * t;
        tempa = tempa - fD2 * t2 - fD3 * t3 - fD4 * t4;
        tempe = tempe + fBstar * fCc5 * (std::sin(mm) - fSinmao);
        templ = templ + fT3cof * t3 + t4 * (fT4cof + t * fT5cof);
    }
    double nm = fNoUnkozai;
    double em = fEcc;
    const double inclm = fIncl;
    if (nm <= 0) throw ESatelliteDecayed(fName + ": mean motion no longer positive; the orbit has decayed");
    const double am = std::pow(kXke / nm, kX2o3) * tempa * tempa;
    nm = kXke / std::pow(am, 1.5);
    em = em - tempe;
    if (em >= 1 || em < -0.001 || !std::isfinite(em))
        throw EEccentricityOutOfRange(fName + ": mean eccentricity " + std::to_string(em) +
                                      " out of range at " + std::to_string(t) + " min from epoch");
    if (em < 1.0e-6) em = 1.0e-6;
    mm = mm + fNoUnkozai * templ;
    double xlm = mm + argpm + nodem;
    nodem = std::fmod(nodem, kTwoPi);
    argpm = std::fmod(argpm, kTwoPi);
    xlm = std::fmod(xlm, kTwoPi);
    mm = std::fmod(xlm - argpm - nodem, kTwoPi);

    // Long-period periodics.
    const double sinip = std::sin(inclm), cosip = std::cos(inclm);
    const double axnl = em * std::cos(argpm);
    double temp = 1 / (am * (1 - em * em));
    const double aynl = em * std::sin(argpm) + temp * fAycof;
    const double xl = mm + argpm + nodem + temp * fXlcof * axnl;

    // Kepler's equation in the equinoctial form, Newton steps capped at 0.95 rad.
    const double u = std::fmod(xl - nodem, kTwoPi);
    double eo1 = u;
    double tem5 = 9999.9;
    double sineo1 = 0, coseo1 = 0;
    for (int ktr = 1; std::fabs(tem5) >= 1.0e-12 && ktr <= 10; ++ktr) {
        sineo1 = std::sin(eo1);
        coseo1 = std::cos(eo1);
        tem5 = 1 - coseo1 * axnl - sineo1 * aynl;
        tem5 = (u - aynl * coseo1 + axnl * sineo1 - eo1) / tem5;
        if (std::fabs(tem5) >= 0.95) tem5 = tem5 > 0 ? 0.95 : -0.95;
        eo1 = eo1 + tem5;
    }

    // Short-period periodics.
    const double ecose = axnl * coseo1 + aynl * sineo1;
    const double esine = axnl * sineo1 - aynl * coseo1;
    const double el2 = axnl * axnl + aynl * aynl;
    const double pl = am * (1 - el2);
    if (pl < 0)
        throw ESatelliteDecayed(fName + ": semi-latus rectum negative at " + std::to_string(t) +
                                " min from epoch; the orbit has decayed");
    const double rl = am * (1 - ecose);
    const double rdotl = std::sqrt(am) * esine / rl;
    const double rvdotl = std::sqrt(pl) / rl;
    const double betal = std::sqrt(1 - el2);
    temp = esine / (1 + betal);
    const double sinu = am / rl * (sineo1 - aynl - axnl * temp);
    const double cosu = am / rl * (coseo1 - axnl + aynl * temp);
    double su = std::atan2(sinu, cosu);
    const double sin2u = (cosu + cosu) * sinu;
    const double cos2u = 1 - 2 * sinu * sinu;
    temp = 1 / pl;
    const double temp1 = 0.5 * TWgs72::J2 * temp;
    const double temp2 = temp1 * temp;

    const double mrt = rl * (1 - 1.5 * temp2 * betal * fCon41) + 0.5 * temp1 * fX1mth2 * cos2u;
    su = su - 0.25 * temp2 * fX7thm1 * sin2u;
    const double xnode = nodem + 1.5 * temp2 * cosip * sin2u;
    const double xinc = inclm + 1.5 * temp2 * cosip * sinip * cos2u;
    const double mvt = rdotl - nm * temp1 * fX1mth2 * sin2u / kXke;
    const double rvdot = rvdotl + nm * temp1 * (fX1mth2 * cos2u + 1.5 * fCon41) / kXke;

    // Orientation vectors: u towards the satellite, v along the track.
    const double sinsu = std::sin(su), cossu = std::cos(su);
    const double snod = std::sin(xnode), cnod = std::cos(xnode);
    const double sini = std::sin(xinc), cosi = std::cos(xinc);
    const double xmx = -snod * cosi;
    const double xmy = cnod * cosi;
    const TVec3 uv{xmx * sinsu + cnod * cossu, xmy * sinsu + snod * cossu, sini * sinsu};
    const TVec3 vv{xmx * cossu - cnod * sinsu, xmy * cossu - snod * sinsu, sini * cossu};

    if (mrt < 1)
        throw ESatelliteDecayed(fName + ": below the Earth's surface at " + std::to_string(t) +
                                " min from epoch; the satellite has decayed");
    const double vkmpersec = TWgs72::RadiusKm * kXke / 60.0;
    TStateTeme state;
    state.PositionKm = (mrt * TWgs72::RadiusKm) * uv;
    state.VelocityKmS = vkmpersec * (mvt * uv + rvdot * vv);
    return state;
}

} // namespace lrptgeo

#include "htmlentityresolver.h"

#include <QHash>
#include <QStringList>

namespace {

// U+00A0 .. U+00FF in code order.
const char latin1Names[] =
    "nbsp iexcl cent pound curren yen brvbar sect uml copy ordf laquo not shy reg macr "
    "deg plusmn sup2 sup3 acute micro para middot cedil sup1 ordm raquo frac14 frac12 frac34 "
    "iquest Agrave Aacute Acirc Atilde Auml Aring AElig Ccedil Egrave Eacute Ecirc Euml "
    "Igrave Iacute Icirc Iuml ETH Ntilde Ograve Oacute Ocirc Otilde Ouml times Oslash Ugrave "
    "Uacute Ucirc Uuml Yacute THORN szlig agrave aacute acirc atilde auml aring aelig ccedil "
    "egrave eacute ecirc euml igrave iacute icirc iuml eth ntilde ograve oacute ocirc otilde "
    "ouml divide oslash ugrave uacute ucirc uuml yacute thorn yuml";

// name=code pairs of the other HTML 4 references and the common HTML 5 additions.
const char otherNames[] =
    "quot=34 amp=38 lt=60 gt=62 apos=39 OElig=338 oelig=339 Scaron=352 scaron=353 Yuml=376 "
    "fnof=402 circ=710 tilde=732 ensp=8194 emsp=8195 thinsp=8201 zwnj=8204 zwj=8205 "
    "lrm=8206 rlm=8207 ndash=8211 mdash=8212 lsquo=8216 rsquo=8217 sbquo=8218 ldquo=8220 "
    "rdquo=8221 bdquo=8222 dagger=8224 Dagger=8225 bull=8226 hellip=8230 permil=8240 "
    "prime=8242 Prime=8243 lsaquo=8249 rsaquo=8250 oline=8254 frasl=8260 euro=8364 "
    "image=8465 weierp=8472 real=8476 trade=8482 alefsym=8501 larr=8592 uarr=8593 "
    "rarr=8594 darr=8595 harr=8596 crarr=8629 lArr=8656 uArr=8657 rArr=8658 dArr=8659 "
    "hArr=8660 forall=8704 part=8706 exist=8707 empty=8709 nabla=8711 isin=8712 notin=8713 "
    "ni=8715 prod=8719 sum=8721 minus=8722 lowast=8727 radic=8730 prop=8733 infin=8734 "
    "ang=8736 and=8743 or=8744 cap=8745 cup=8746 int=8747 there4=8756 sim=8764 cong=8773 "
    "asymp=8776 ne=8800 equiv=8801 le=8804 ge=8805 sub=8834 sup=8835 nsub=8836 sube=8838 "
    "supe=8839 oplus=8853 otimes=8855 perp=8869 sdot=8901 lceil=8968 rceil=8969 "
    "lfloor=8970 rfloor=8971 lang=9001 rang=9002 loz=9674 spades=9824 clubs=9827 "
    "hearts=9829 diams=9830 thetasym=977 upsih=978 piv=982 sigmaf=962 "
    "emsp13=8196 emsp14=8197 numsp=8199 puncsp=8200 hairsp=8202 ZeroWidthSpace=8203 "
    "NonBreakingSpace=160 nbsp=160 hyphen=8208 dash=8208 horbar=8213 lsquor=8218 "
    "rsquor=8217 ldquor=8222 rdquor=8221 centerdot=183 half=189 star=9734 starf=9733 "
    "check=10003 cross=10007 bullet=8226 excl=33 num=35 dollar=36 percnt=37 lpar=40 "
    "rpar=41 ast=42 plus=43 comma=44 period=46 sol=47 colon=58 semi=59 equals=61 quest=63 "
    "commat=64 lsqb=91 bsol=92 rsqb=93 lowbar=95 grave=96 lcub=123 verbar=124 rcub=125 "
    "ThinSpace=8201 MediumSpace=8287 NoBreak=8288 nldr=8229 mldr=8230 laquo=171 raquo=187";

// Greek capitals from U+0391 and small letters from U+03B1 (U+03A2 is unassigned).
const char greekNames[] =
    "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi rho "
    "- sigma tau upsilon phi chi psi omega";

QHash<QString, QString> buildTable()
{
    QHash<QString, QString> table;
    const QStringList latin = QString::fromLatin1(latin1Names).split(QLatin1Char(' '));
    for (int i = 0; i < latin.size(); ++i)
        table.insert(latin[i], QString(QChar(0xA0 + i)));
    const QStringList greek = QString::fromLatin1(greekNames).split(QLatin1Char(' '));
    for (int i = 0; i < greek.size(); ++i) {
        if (greek[i] == QLatin1String("-"))
            continue;
        QString capital = greek[i];
        capital[0] = capital[0].toUpper();
        table.insert(capital, QString(QChar(0x391 + i)));
        table.insert(greek[i], QString(QChar(0x3B1 + i)));
    }
    for (const QString &pair : QString::fromLatin1(otherNames).split(QLatin1Char(' '))) {
        const int eq = pair.indexOf(QLatin1Char('='));
        table.insert(pair.left(eq), QString(QChar(pair.midRef(eq + 1).toInt())));
    }
    return table;
}

}

QString HtmlEntityResolver::characters(const QString &name)
{
    static const QHash<QString, QString> table = buildTable();
    return table.value(name);
}

QString HtmlEntityResolver::resolveUndeclaredEntity(const QString &name)
{
    const QString known = characters(name);
    if (!known.isNull())
        return known;
    // The reader parses the replacement again: an escaped ampersand keeps the name as text.
    return QStringLiteral("&amp;") + name + QLatin1Char(';');
}

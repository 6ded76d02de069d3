package morvalen.xa;

import java.util.Arrays;
import java.util.HexFormat;
import javax.transaction.xa.Xid;

/**
 * An immutable XID: the ones {@code recover} returns, and a convenient one for
 * applications that name their own branches. Equal to another MorvalenXid with
 * the same format identifier, gtrid and bqual.
 */
public final class MorvalenXid implements Xid {
    private final int formatId;
    private final byte[] gtrid;
    private final byte[] bqual;

    public MorvalenXid(int formatId, byte[] gtrid, byte[] bqual) {
        this.formatId = formatId;
        this.gtrid = gtrid.clone();
        this.bqual = bqual.clone();
    }

    /** A copy of any Xid, for use as a map key or after its owner changed it. */
    public static MorvalenXid of(Xid xid) {
        return new MorvalenXid(xid.getFormatId(), xid.getGlobalTransactionId(), xid.getBranchQualifier());
    }

    @Override
    public int getFormatId() {
        return formatId;
    }

    @Override
    public byte[] getGlobalTransactionId() {
        return gtrid.clone();
    }

    @Override
    public byte[] getBranchQualifier() {
        return bqual.clone();
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof MorvalenXid x && x.formatId == formatId && Arrays.equals(x.gtrid, gtrid)
                && Arrays.equals(x.bqual, bqual);
    }

    @Override
    public int hashCode() {
        return 31 * (31 * formatId + Arrays.hashCode(gtrid)) + Arrays.hashCode(bqual);
    }

    /** FORMATID:0xGTRIDHEX:0xBQUALHEX, as morvalenctl writes it. */
    @Override
    public String toString() {
        HexFormat hex = HexFormat.of();
        return formatId + ":0x" + hex.formatHex(gtrid) + ":0x" + hex.formatHex(bqual);
    }
}

package morvalen.xa;

import java.io.IOException;
import java.net.ProtocolException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.util.ArrayList;
import java.util.List;
import javax.transaction.xa.XAException;
import javax.transaction.xa.Xid;

/**
 * The Morvalen wire format: request frames out, reply payloads in. Every
 * integer is little-endian. See docs/protocol.md.
 */
final class Wire {
    static final byte[] HANDSHAKE = {'M', 'o', 'r', 'v', 'a', 'l', 'e', 'n', '/', 'X', 'A', '/', '2', '.', '0', '8'};
    static final byte[] HANDSHAKE_REPLY = {'M', 'o', 'r', 'v', 'a', 'l', 'e', 'n'};

    static final byte START = 0;
    static final byte END = 1;
    static final byte FORGET = 2;
    static final byte RECOVER = 3;
    static final byte PREPARE = 4;
    static final byte COMMIT = 5;
    static final byte ROLLBACK = 6;
    static final byte QUERY = 7;

    static final int HEADER = 8;           // reply length and result
    static final int MAX_REPLY = 1000;     // the service never sends more
    static final int MAX_PART = 64;        // gtrid and bqual, each
    static final int RECOVER_PER_REPLY = 7;

    private Wire() {
    }

    /**
     * Encodes a request frame. A null xid goes as the null XID (recover only);
     * an XID that cannot be sent is XAER_INVAL, before anything leaves.
     */
    static byte[] request(byte code, int flags, Xid xid) throws XAException {
        byte[] body = xid == null ? null : xidBody(xid);
        ByteBuffer frame = ByteBuffer.allocate(10 + (body == null ? 0 : body.length)).order(ByteOrder.LITTLE_ENDIAN);
        frame.putInt(0).put(code).putInt(flags);
        if (body == null) {
            frame.put((byte) 0xFF);
        } else {
            frame.put((byte) body.length).put(body);
        }
        return frame.array();
    }

    /** The XID body: format identifier, the two lengths, gtrid and bqual. */
    static byte[] xidBody(Xid xid) throws XAException {
        if (xid == null) {
            throw invalid("null XID");
        }
        byte[] gtrid = xid.getGlobalTransactionId();
        byte[] bqual = xid.getBranchQualifier();
        if (gtrid == null || bqual == null) {
            throw invalid("XID with a null gtrid or bqual");
        }
        if (xid.getFormatId() == -1) {
            throw invalid("XID with format identifier -1 (the null XID)");
        }
        if (gtrid.length > MAX_PART || bqual.length > MAX_PART) {
            throw invalid("XID part longer than 64 bytes");
        }
        if (gtrid.length + bqual.length < 2) {
            throw invalid("XID with fewer than two data bytes");
        }
        ByteBuffer body = ByteBuffer.allocate(6 + gtrid.length + bqual.length).order(ByteOrder.LITTLE_ENDIAN);
        body.putInt(xid.getFormatId()).put((byte) gtrid.length).put((byte) bqual.length).put(gtrid).put(bqual);
        return body.array();
    }

    private static XAException invalid(String why) {
        XAException e = new XAException(why);
        e.errorCode = XAException.XAER_INVAL;
        return e;
    }

    /**
     * The cookie of a start reply with result 0 or more: the bytes, or null
     * when the branch holds none.
     */
    static byte[] cookie(byte[] payload) throws IOException {
        if (payload.length < 4) {
            throw new ProtocolException("start reply without a cookie field");
        }
        int n = ByteBuffer.wrap(payload).order(ByteOrder.LITTLE_ENDIAN).getInt();
        if (n == -1 && payload.length == 4) {
            return null;
        }
        if (n < 0 || n != payload.length - 4) {
            throw new ProtocolException("start reply: cookie length " + n + " in a payload of " + payload.length);
        }
        byte[] bytes = new byte[n];
        System.arraycopy(payload, 4, bytes, 0, n);
        return bytes;
    }

    /** The count XIDs of a recover reply; anything that does not add up is a bad reply. */
    static List<MorvalenXid> recoverList(int count, byte[] payload) throws IOException {
        if (count > RECOVER_PER_REPLY || payload.length < 4) {
            throw new ProtocolException("recover reply of " + count + " XIDs in " + payload.length + " bytes");
        }
        ByteBuffer in = ByteBuffer.wrap(payload).order(ByteOrder.LITTLE_ENDIAN);
        int total = in.getInt();
        if (total != payload.length - 4) {
            throw new ProtocolException("recover reply: " + total + " bytes announced, " + (payload.length - 4) + " sent");
        }
        List<MorvalenXid> xids = new ArrayList<>(count);
        for (int i = 0; i < count; i++) {
            if (in.remaining() < 6) {
                throw new ProtocolException("recover reply: entry " + i + " cut short");
            }
            int formatId = in.getInt();
            int g = in.get() & 0xFF;
            int b = in.get() & 0xFF;
            if (g > MAX_PART || b > MAX_PART || in.remaining() < g + b) {
                throw new ProtocolException("recover reply: entry " + i + " has lengths " + g + "/" + b);
            }
            byte[] gtrid = new byte[g];
            byte[] bqual = new byte[b];
            in.get(gtrid).get(bqual);
            xids.add(new MorvalenXid(formatId, gtrid, bqual));
        }
        if (in.hasRemaining()) {
            throw new ProtocolException("recover reply: " + in.remaining() + " bytes behind the last entry");
        }
        return xids;
    }

    static int getInt(byte[] bytes, int at) {
        return ByteBuffer.wrap(bytes, at, 4).order(ByteOrder.LITTLE_ENDIAN).getInt();
    }
}

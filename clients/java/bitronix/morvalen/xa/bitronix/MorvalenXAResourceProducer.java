package morvalen.xa.bitronix;

import bitronix.tm.internal.XAResourceHolderState;
import bitronix.tm.recovery.RecoveryException;
import bitronix.tm.resource.ResourceRegistrar;
import bitronix.tm.resource.common.AbstractXAResourceHolder;
import bitronix.tm.resource.common.RecoveryXAResourceHolder;
import bitronix.tm.resource.common.ResourceBean;
import bitronix.tm.resource.common.XAResourceHolder;
import bitronix.tm.resource.common.XAResourceProducer;
import bitronix.tm.resource.common.XAStatefulHolder;
import java.util.Date;
import java.util.List;
import java.util.Properties;
import javax.net.ssl.SSLContext;
import javax.naming.NamingException;
import javax.naming.Reference;
import javax.naming.StringRefAddr;
import javax.transaction.xa.XAResource;
import morvalen.xa.MorvalenXAResource;

/**
 * Makes one Morvalen service a resource of the Bitronix transaction manager.
 *
 * <pre>
 * MorvalenXAResource morvalen = new MorvalenXAResource("db-host", 1439);
 * MorvalenXAResourceProducer producer = new MorvalenXAResourceProducer("morvalen", morvalen);
 * producer.init();                       // registers it; Bitronix recovers its in-doubt branches
 * ...
 * tm.begin();
 * tm.getTransaction().enlistResource(morvalen);
 * byte[] cookie = morvalen.currentCookie();
 * ...
 * tm.commit();
 * </pre>
 *
 * Or from properties, the service on either of two hosts:
 *
 * <pre>
 * Properties p = new Properties();
 * p.setProperty("endpoints", "xa1.internal:1439,xa2.internal:1439");
 * MorvalenXAResourceProducer producer = new MorvalenXAResourceProducer("morvalen", p, null);
 * MorvalenXAResource morvalen = producer.getResource();
 * </pre>
 *
 * The unique name is what Bitronix writes in its journal for the branches of
 * this resource: keep it the same from one run to the next, or recovery will
 * not find them. Morvalen is not connection-oriented from Bitronix's view (the
 * resource pools its own connections), so there is no XAPool here and
 * automatic enlisting is off: the application enlists the resource.
 */
public final class MorvalenXAResourceProducer extends ResourceBean implements XAResourceProducer {
    private static final long serialVersionUID = 1L;

    private final transient MorvalenXAResource resource;
    private final transient Holder holder;
    private transient volatile RecoveryXAResourceHolder recoveryHolder;

    public MorvalenXAResourceProducer(String uniqueName, MorvalenXAResource resource) {
        if (uniqueName == null || uniqueName.isEmpty() || resource == null) {
            throw new IllegalArgumentException("a unique name and a resource are needed");
        }
        this.resource = resource;
        this.holder = new Holder(resource, this);
        setUniqueName(uniqueName);
        setClassName(MorvalenXAResource.class.getName());
        setAutomaticEnlistingEnabled(false);
        setUseTmJoin(true);  // the service joins a branch of the same XID (start with TMJOIN)
        setApplyTransactionTimeout(false);  // the resource has no settable time-out
    }

    /**
     * A producer of a new resource made from properties (see
     * {@link MorvalenXAResource#fromProperties}: "endpoints" or "host", "port",
     * "timeoutMs", "serverName"), which it also keeps as its driver properties.
     *
     * @param tls the TLS context; null for plaintext
     */
    public MorvalenXAResourceProducer(String uniqueName, Properties properties, SSLContext tls) {
        this(uniqueName, MorvalenXAResource.fromProperties(properties, tls));
        getDriverProperties().putAll(properties);
    }

    public MorvalenXAResource getResource() {
        return resource;
    }

    /** Registers the producer with Bitronix, which recovers the resource's in-doubt branches at once. */
    @Override
    public void init() {
        try {
            ResourceRegistrar.register(this);
        } catch (RecoveryException e) {
            throw new IllegalStateException("recovery of " + getUniqueName() + " failed", e);
        }
    }

    @Override
    public void close() {
        ResourceRegistrar.unregister(this);
        resource.close();
    }

    @Override
    public XAResourceHolderState startRecovery() throws RecoveryException {
        if (recoveryHolder != null) {
            throw new RecoveryException("recovery already in progress on " + this);
        }
        recoveryHolder = new RecoveryXAResourceHolder(holder);
        return new XAResourceHolderState(recoveryHolder, this);
    }

    @Override
    public void endRecovery() {
        recoveryHolder = null;
    }

    @Override
    public void setFailed(boolean failed) {
        // Every call opens or reuses its own connection; there is nothing to mark.
    }

    @Override
    public XAResourceHolder findXAResourceHolder(XAResource xaResource) {
        return xaResource == resource ? holder : null;
    }

    @Override
    public XAStatefulHolder createPooledConnection(Object xaFactory, ResourceBean bean) {
        throw new UnsupportedOperationException("Morvalen resources are not pooled by Bitronix");
    }

    @Override
    public Reference getReference() throws NamingException {
        return new Reference(MorvalenXAResourceProducer.class.getName(), new StringRefAddr("uniqueName", getUniqueName()));
    }

    @Override
    public String toString() {
        return "MorvalenXAResourceProducer[" + getUniqueName() + ", " + resource + "]";
    }

    /** Bitronix's record of the one resource: its per-transaction states live in the base class. */
    private static final class Holder extends AbstractXAResourceHolder {
        private final MorvalenXAResource resource;
        private final ResourceBean bean;

        Holder(MorvalenXAResource resource, ResourceBean bean) {
            this.resource = resource;
            this.bean = bean;
        }

        @Override
        public XAResource getXAResource() {
            return resource;
        }

        @Override
        public ResourceBean getResourceBean() {
            return bean;
        }

        @Override
        public List<XAResourceHolder> getXAResourceHolders() {
            return List.of(this);
        }

        @Override
        public Object getConnectionHandle() {
            return resource;
        }

        @Override
        public void close() {
            // the resource outlives its enlistments
        }

        @Override
        public Date getLastReleaseDate() {
            return null;
        }
    }
}
